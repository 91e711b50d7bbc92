#include "core/output/LogFile.h"

#include "core/support/Clock.h"

#include <QtGlobal>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <iterator>
#include <map>
#include <string>

#ifdef Q_OS_UNIX
#include <sys/file.h>
#endif

namespace {

#ifdef Q_OS_WIN
constexpr bool kCrLf = true;
#else
constexpr bool kCrLf = false;
#endif
constexpr const char* kLineEnd = kCrLf ? "\r\n" : "\n";

// Messages come in bursts (a crawl reports every page), so most lines share the second of the
// one before; formatting the stamp costs more than the rest of the line. Keyed on the LC_TIME
// name too, so a locale switch never serves a stale stamp. Per thread: the headless program
// prints lines from the hub's thread, but nothing stops another thread from formatting.
QByteArray TimeStamp(qint64 time)
{
    struct CStampCache
    {
        bool m_bValid = false;
        qint64 m_Time = 0;
        std::string m_Locale;
        QByteArray m_Stamp;
    };
    thread_local CStampCache cache;
    const char* locale = std::setlocale(LC_TIME, nullptr);
    const char* localeName = locale ? locale : "";
    if (!cache.m_bValid || cache.m_Time != time || cache.m_Locale != localeName) {
        cache.m_Stamp = FormatLocalTime(time).toUtf8();
        cache.m_Time = time;
        cache.m_Locale = localeName;
        cache.m_bValid = true;
    }
    return cache.m_Stamp;
}

QByteArray SeverityName(int code)
{
    // The table is read-only once built, so converting it once serves every thread.
    static const std::map<int, QByteArray> names = [] {
        std::map<int, QByteArray> utf8;
        for (const auto& [known, name] : CSeverity::GetSeverityTable())
            utf8.emplace(known, name.toUtf8());
        return utf8;
    }();
    const auto found = names.find(code);
    return found != names.end() ? found->second : CSeverity::GetSeverityName(code).toUtf8();
}

// Keeps a second writer (another Corvane, or anyone who asks for the lock) out of the file while
// we log to it. Only a lock that someone else holds refuses the open: a file system without
// flock support should not cost the user the log.
bool LockForWriting(QFile& file)
{
#ifdef Q_OS_UNIX
    int result;
    do {
        result = ::flock(file.handle(), LOCK_EX | LOCK_NB);
    } while (result == -1 && errno == EINTR);
    return result == 0 || errno != EWOULDBLOCK;
#else
    // Windows: QFile shares write access and gives no native handle to lock; not denied yet.
    Q_UNUSED(file);
    return true;
#endif
}

QString WithFullStop(QString reason)
{
    reason = reason.trimmed();
    if (reason.isEmpty())
        return QStringLiteral("The reason is unknown.");
    if (!reason.endsWith(u'.'))
        reason += u'.';
    return reason;
}

} // namespace

std::optional<CLogMessage> CLogFile::Open(bool logToFile, const QString& fileName)
{
    Close();
    const bool hadFailed = m_bWriteFailed;
    m_bWriteFailed = false;
    if (!logToFile) {
        m_nMissing = 0;
        return std::nullopt;
    }
    m_FileName = fileName;
    if (Reopen()) {
        // After a failed write the gap is still owed its report: it follows this open's line.
        if (!hadFailed)
            m_nMissing = 0;
        return CLogMessage(eActionSucceeded, QStringLiteral("Logging output to file '%1'").arg(fileName));
    }
    m_nMissing = 0;
    return CLogMessage(eApplicationFailure, QStringLiteral("Unable to open log file '%1'").arg(fileName));
}

bool CLogFile::Reopen()
{
    Close();
    if (m_FileName.isEmpty())
        return false;
    m_File.setFileName(m_FileName);
    // Unbuffered: every line leaves in one write call of its own, so a crash loses nothing
    // and someone following the file never sees half a line. Append never truncates.
    if (!m_File.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return false;
    if (LockForWriting(m_File))
        return true;
    m_File.close();
    return false;
}

void CLogFile::Close()
{
    // Closing the descriptor also drops the lock; Qt opens it close-on-exec, so no program we
    // start for an alert inherits it and keeps the file locked after us.
    if (m_File.isOpen())
        m_File.close();
}

bool CLogFile::WriteLine(const QByteArray& line, QString* reason)
{
    errno = 0;
    const qint64 written = m_File.write(line);
    if (written == line.size())
        return true;
    const int error = errno;
    // Part of a line (the disk filled up in the middle of it) would run into the first line
    // written after the gap: take it back.
    if (written > 0)
        m_File.resize(m_File.size() - written);
    if (m_File.error() != QFileDevice::NoError)
        *reason = WithFullStop(m_File.errorString());
    else if (error != 0)
        *reason = WithFullStop(QString::fromLocal8Bit(std::strerror(error)));
    else
        *reason = QStringLiteral("Only part of the line was written.");
    return false;
}

std::optional<CLogMessage> CLogFile::Write(const CLogMessage& message)
{
    const auto now = std::chrono::steady_clock::now();
    bool retried = false;
    if (!m_File.isOpen()) {
        if (!m_bWriteFailed)
            return std::nullopt;
        // A full disk or a lost file system usually comes back; the file is tried again, but not
        // for every message of a burst.
        if (now - m_LastTry < m_RetryDelay) {
            ++m_nMissing;
            return std::nullopt;
        }
        m_LastTry = now;
        if (!Reopen()) {
            ++m_nMissing;
            return std::nullopt;
        }
        retried = true;
    }

    QString reason;
    if (!WriteLine(FormatLine(message), &reason)) {
        // Closed, so that the retry opens the path afresh (a new file system, a new file).
        Close();
        m_bWriteFailed = true;
        m_LastTry = now;
        ++m_nMissing;
        // The failure was reported when the gap began; a retry that fails adds no report.
        if (retried)
            return std::nullopt;
        ++m_nMissing; // the report below is shown, but cannot reach the file either
        return CLogMessage(eApplicationFailure,
                           QStringLiteral("Unable to write to log file '%1'. %2 Writing is tried again with later "
                                          "messages; until it succeeds they are not written to the file.")
                               .arg(m_FileName, reason));
    }
    m_bWriteFailed = false;
    if (m_nMissing == 0)
        return std::nullopt;

    const CLogMessage resumed(eActionSucceeded,
                              QStringLiteral("Logging output to file '%1' resumed. %2 message(s) were not written "
                                             "to the file.")
                                  .arg(m_FileName)
                                  .arg(m_nMissing));
    m_nMissing = 0;
    if (!WriteLine(FormatLine(resumed), &reason)) {
        Close();
        m_bWriteFailed = true;
        m_LastTry = now;
        m_nMissing = 1;
    }
    return resumed;
}

QByteArray CLogFile::FormatLine(const CLogMessage& message)
{
    const QByteArray stamp = TimeStamp(message.m_Time);
    const QByteArray severity = SeverityName(message.m_Severity.GetCode());
    QByteArray text = message.m_Text.toUtf8();
    if constexpr (kCrLf)
        text.replace("\n", "\r\n");

    QByteArray line;
    line.reserve(stamp.size() + severity.size() + text.size() + 4);
    line.append(stamp).append('\t').append(severity).append('\t').append(text).append(kLineEnd);
    return line;
}
