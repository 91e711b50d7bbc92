#include "ui/shell/UserTools.h"

#include "core/shell/AppSettings.h"

#include <QProcess>
#include <QSettings>

namespace {
const QString kArray = QStringLiteral("Settings/UserTools");
}

QList<CUserTool> LoadUserTools()
{
    QList<CUserTool> tools;
    const auto store = OpenSettingsStore();
    const int count = qMin(store->beginReadArray(kArray), kMaxUserTools);
    for (int i = 0; i < count; ++i) {
        store->setArrayIndex(i);
        CUserTool tool;
        tool.m_Name = store->value(QStringLiteral("Name")).toString();
        tool.m_Program = store->value(QStringLiteral("Program")).toString();
        tool.m_Arguments = store->value(QStringLiteral("Arguments")).toString();
        if (!tool.m_Name.isEmpty() || !tool.m_Program.isEmpty())
            tools << tool;
    }
    store->endArray();
    return tools;
}

void SaveUserTools(const QList<CUserTool>& tools)
{
    const auto store = OpenSettingsStore();
    store->remove(kArray);
    store->beginWriteArray(kArray, int(qMin<qsizetype>(tools.size(), kMaxUserTools)));
    for (int i = 0; i < tools.size() && i < kMaxUserTools; ++i) {
        store->setArrayIndex(i);
        store->setValue(QStringLiteral("Name"), tools.at(i).m_Name);
        store->setValue(QStringLiteral("Program"), tools.at(i).m_Program);
        store->setValue(QStringLiteral("Arguments"), tools.at(i).m_Arguments);
    }
    store->endArray();
}

bool RunUserTool(const CUserTool& tool, QString* error)
{
    const QString program = tool.m_Program.trimmed();
    if (program.isEmpty()) {
        if (error)
            *error = QStringLiteral("The tool '%1' names no program.").arg(tool.m_Name);
        return false;
    }
    if (QProcess::startDetached(program, QProcess::splitCommand(tool.m_Arguments)))
        return true;
    if (error)
        *error = QStringLiteral("Unable to start the tool '%1' (%2).").arg(tool.m_Name, program);
    return false;
}
