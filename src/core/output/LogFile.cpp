#include "core/output/LogFile.h"

#include "core/support/Clock.h"

#include <QtGlobal>

#include <cerrno>
#include <clocale>
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
    if (!logToFile)
        return std::nullopt;
    m_FileName = fileName;
    if (!fileName.isEmpty()) {
        m_File.setFileName(fileName);
        // Unbuffered: every line leaves in one write call of its own, so a crash loses nothing
        // and someone following the file never sees half a line. Append never truncates.
        if (m_File.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
            if (LockForWriting(m_File))
                return CLogMessage(eActionSucceeded, QStringLiteral("Logging output to file '%1'").arg(fileName));
            m_File.close();
        }
    }
    return CLogMessage(eApplicationFailure, QStringLiteral("Unable to open log file '%1'").arg(fileName));
}

void CLogFile::Close()
{
    // Closing the descriptor also drops the lock; Qt opens it close-on-exec, so no program we
    // start for an alert inherits it and keeps the file locked after us.
    if (m_File.isOpen())
        m_File.close();
}

std::optional<CLogMessage> CLogFile::Write(const CLogMessage& message)
{
    if (!m_File.isOpen())
        return std::nullopt;
    const QByteArray line = FormatLine(message);
    if (m_File.write(line) == line.size())
        return std::nullopt;

    const QString reason = m_File.error() != QFileDevice::NoError
        ? WithFullStop(m_File.errorString())
        : QStringLiteral("Only part of the line was written.");
    // Closing keeps a full disk from producing one more failure report for every message.
    Close();
    return CLogMessage(
        eApplicationFailure,
        QStringLiteral("Unable to write to log file '%1'. %2 Logging to the file is off until the log file "
                       "is opened again.")
            .arg(m_FileName, reason));
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
