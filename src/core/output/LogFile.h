#pragma once

#include "core/output/LogMessage.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <optional>

// The text file every log message is appended to while logging to a file is on. It belongs to
// the hub's output path, so the desktop and the headless program log alike; it has no severity
// filter and no size limit. One thread only: the hub's.
class CLogFile
{
public:
    CLogFile() = default;
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    // Closes the file, then opens it again as the settings say. Returns the message that reports
    // the open, for the caller to show and to pass to Write like every other shown message (so on
    // success it is the first line of this run); nothing when logging is off.
    std::optional<CLogMessage> Open(bool logToFile, const QString& fileName);
    void Close();
    bool IsOpen() const { return m_File.isOpen(); }

    // Appends the message's line. A failed write closes the file and returns the one message that
    // says so; nothing more is written until the next successful Open.
    std::optional<CLogMessage> Write(const CLogMessage& message);

    // One message as the file stores it (UTF-8): time stamp ("%c" in the current LC_TIME, local
    // time), tab, severity name, tab, text, line end. Line feeds inside the text become the
    // platform's line end too, so further lines of a multi-line text carry no time stamp.
    static QByteArray FormatLine(const CLogMessage& message);

private:
    QFile m_File;
    QString m_FileName; // as the settings give it, for the messages
};
