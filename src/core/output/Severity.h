#pragma once

#include <QString>

#include <map>

// The seven classes of log message. The codes are stored in the settings ("LogSeverity%d")
// and index the severity icons, so they never change.
enum eSeverity
{
    eInformational = 0,
    eTaskSuccess = 1,
    eTaskFailure = 2,
    eApplicationFailure = 3,
    eActionSucceeded = 4,
    eSpiderMessage = 5,
    eTaskStopped = 6,
};

// A severity code with its display name; a plain value passed between threads.
class CSeverity
{
public:
    CSeverity() = default;
    CSeverity(int code)
        : m_nCode(code)
    { }

    int GetCode() const { return m_nCode; }
    QString GetName() const { return GetSeverityName(m_nCode); }

    // "Unknown Severity" for a code outside the table.
    static QString GetSeverityName(int code);
    // Code -> display name, in ascending code order. Built once, read-only afterwards,
    // so any thread may read it.
    static const std::map<int, QString>& GetSeverityTable();

    friend bool operator==(const CSeverity&, const CSeverity&) = default;

private:
    int m_nCode = eApplicationFailure;
};
