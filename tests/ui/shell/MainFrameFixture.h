#pragma once

#include "core/shell/AppSettings.h"
#include "core/shell/Hub.h"
#include "core/tasks/VigrelDoc.h"
#include "support/TempSettings.h"
#include "ui/shell/MainFrame.h"
#include "ui/shell/Prompts.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

// A main frame on a fresh settings file, with its message boxes and file dialogs answered
// by the test: every text a box would have shown is kept in m_Shown.
class MainFrameTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SetMessageBoxAnswerer([this](const QString& text) {
            m_Shown << text;
            return m_NextAnswer;
        });
        SetFileNameAnswerer([this](bool, const QString&) { return m_NextFileName; });
        NewFrame();
    }

    void TearDown() override
    {
        m_pFrame.reset();
        if (m_bHubStarted)
            m_Hub.Shutdown();
        SetMessageBoxAnswerer(nullptr);
        SetFileNameAnswerer(nullptr);
        CMainFrame::SetTrayAvailableForTesting(false);
    }

    // A new window on the same document and settings: what the next run would show.
    void NewFrame()
    {
        m_pFrame.reset();
        m_pFrame = std::make_unique<CMainFrame>(&m_Document, &m_Hub);
    }

    QAction* Command(const char* name) const { return m_pFrame->FindCommand(QString::fromLatin1(name)); }

    CTask Task(const QString& name) const
    {
        CTask task;
        task.m_Name = name;
        task.m_PingHost = QStringLiteral("127.0.0.1");
        return task;
    }

    void ChangeSettings(const std::function<void(CAppSettings&)>& change)
    {
        CAppSettings settings = GetAppSettings();
        change(settings);
        SetAppSettings(settings);
    }

    CTempSettings m_Settings;
    QTemporaryDir m_Dir;
    CVigrelDoc m_Document;
    CHub m_Hub {&m_Document};
    std::unique_ptr<CMainFrame> m_pFrame;
    bool m_bHubStarted = false;
    QStringList m_Shown;
    QMessageBox::StandardButton m_NextAnswer = QMessageBox::Ok;
    QString m_NextFileName;
};
