#pragma once

#include <QList>
#include <QString>

// One entry of the Tools menu: a program the user starts from the window.
struct CUserTool
{
    QString m_Name;
    QString m_Program;
    QString m_Arguments; // split like a command line: double quotes group words

    friend bool operator==(const CUserTool&, const CUserTool&) = default;
};

// Up to ten tools, kept in the settings group "Settings".
constexpr int kMaxUserTools = 10;
QList<CUserTool> LoadUserTools();
void SaveUserTools(const QList<CUserTool>& tools);

// Starts the tool's program directly, never through a shell, so that no character in its
// arguments is interpreted. False (with the reason) when it could not be started.
bool RunUserTool(const CUserTool& tool, QString* error = nullptr);
