#pragma once

#include "core/output/LogMessage.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <chrono>
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

    // Closes the file, then opens it again as the settings say (also how a rotated or deleted
    // file is replaced by a new one at the same path). Returns the message that reports the open,
    // for the caller to show and to pass to Write like every other shown message (so on success
    // it is the first line of this run); nothing when logging is off.
    std::optional<CLogMessage> Open(bool logToFile, const QString& fileName);
    void Close();
    bool IsOpen() const { return m_File.isOpen(); }

    // Appends the message's line. Returns a message for the caller to show right after this one,
    // which it must not pass to Write again:
    // - when the write fails, the one report of the failure. The file is closed; a later message,
    //   once the retry delay has passed since the last try, opens it again and, when that write
    //   succeeds, logging goes on;
    // - with the first line written after such a gap, the report of how many messages the file
    //   is missing (already written to the file after that line).
    std::optional<CLogMessage> Write(const CLogMessage& message);

    // How long a failed file waits before a message tries it again: a burst of messages must not
    // hit a full disk once each.
    void SetRetryDelay(std::chrono::milliseconds delay) { m_RetryDelay = delay; }

    // One message as the file stores it (UTF-8): time stamp ("%c" in the current LC_TIME, local
    // time), tab, severity name, tab, text, line end. Line feeds inside the text become the
    // platform's line end too, so further lines of a multi-line text carry no time stamp.
    static QByteArray FormatLine(const CLogMessage& message);

private:
    bool Reopen();
    bool WriteLine(const QByteArray& line, QString* reason);

    QFile m_File;
    QString m_FileName; // as the settings give it, for the messages
    // A write failed while logging is on: the file is closed, messages are counted, not written.
    bool m_bWriteFailed = false;
    qint64 m_nMissing = 0;
    std::chrono::steady_clock::time_point m_LastTry;
    std::chrono::milliseconds m_RetryDelay = std::chrono::seconds(5);
};
