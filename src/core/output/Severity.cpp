#include "core/output/Severity.h"

const std::map<int, QString>& CSeverity::GetSeverityTable()
{
    static const std::map<int, QString> table {
        {eInformational, QStringLiteral("Informational")},
        {eTaskSuccess, QStringLiteral("Task Success")},
        {eTaskFailure, QStringLiteral("Task Failure")},
        {eApplicationFailure, QStringLiteral("Application Failure")},
        {eActionSucceeded, QStringLiteral("Action Succeeded")},
        {eSpiderMessage, QStringLiteral("Spider Message")},
        {eTaskStopped, QStringLiteral("Task Stopped")},
    };
    return table;
}

QString CSeverity::GetSeverityName(int code)
{
    const auto& table = GetSeverityTable();
    const auto it = table.find(code);
    return it != table.end() ? it->second : QStringLiteral("Unknown Severity");
}
