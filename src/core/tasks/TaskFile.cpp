#include "core/tasks/TaskFile.h"

#include "core/shell/AppSettings.h"
#include "core/tasks/IniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <cerrno>

#include <unistd.h>
#endif

namespace {

const QString kGlobalSection = QStringLiteral("Global");
const QString kEntryCountKey = QStringLiteral("EntryCount");

QString TaskSection(qsizetype n)
{
    return QStringLiteral("Task %1").arg(n);
}

// Flushes the written data to the disk before the rename, so that a disk that reports a
// failure only when the data is written back (network or delayed-allocation file systems)
// fails the save, with its reason, instead of leaving a damaged file under the old name.
// QSaveFile syncs too, but ignores the result.
bool SyncToDisk(QSaveFile& file, QString* reason)
{
#ifdef Q_OS_UNIX
    const int fd = file.handle();
    if (fd < 0)
        return true;
    int result = 0;
    do
        result = ::fsync(fd);
    while (result != 0 && errno == EINTR);
    // EINVAL: a file that cannot be synced (a special file); nothing to wait for then.
    if (result != 0 && errno != EINVAL) {
        *reason = qt_error_string(errno);
        return false;
    }
#else
    Q_UNUSED(file);
    Q_UNUSED(reason);
#endif
    return true;
}

} // namespace

bool ParseTaskFile(const QByteArray& bytes, QList<CTask>& tasks, QString* reason)
{
    tasks.clear();
    QString text;
    if (!CIniReader::Decode(bytes, text, reason))
        return false;
    const CIniReader ini(std::move(text));
    const int count = ini.ReadInt(kGlobalSection, kEntryCountKey, 0);
    if (count > kMaxTaskFileEntries) {
        if (reason) {
            *reason
                = QStringLiteral("it claims %1 tasks; at most %2 are supported.").arg(count).arg(kMaxTaskFileEntries);
        }
        return false;
    }
    if (count <= 0)
        return true;
    tasks.reserve(count);
    // Every task takes the same application defaults: read them once, not once per task.
    const CAppSettings defaults = GetAppSettingsSnapshot();
    for (int n = 0; n < count; ++n) {
        CTask task(defaults);
        task.LoadFromIni(ini, TaskSection(n));
        task.m_TaskId = n;
        tasks.append(std::move(task));
    }
    return true;
}

bool ReadTaskFile(const QString& path, QList<CTask>& tasks, QString* error)
{
    auto fail = [&](const QString& reason) {
        if (error)
            *error = QStringLiteral("Cannot open the task file '%1': %2").arg(QDir::toNativeSeparators(path), reason);
        return false;
    };
    const QString tooLarge = QStringLiteral("it is larger than %1 MB, so it cannot be a task file.")
                                 .arg(kMaxTaskFileBytes / (1024 * 1024));

    const QFileInfo info(path);
    if (!info.exists())
        return fail(QStringLiteral("the file does not exist."));
    if (info.isDir())
        return fail(QStringLiteral("it is a folder, not a file."));
    if (info.size() > kMaxTaskFileBytes)
        return fail(tooLarge);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString() + u'.');
    // Read in pieces up to the bound: a file that grew since, or a device that never ends,
    // is refused too.
    QByteArray bytes;
    bytes.reserve(qsizetype(info.size()));
    char piece[64 * 1024];
    qint64 count = 0;
    while ((count = file.read(piece, sizeof(piece))) > 0) {
        bytes.append(piece, qsizetype(count));
        if (bytes.size() > kMaxTaskFileBytes)
            return fail(tooLarge);
    }
    if (count < 0)
        return fail(file.errorString() + u'.');

    QString reason;
    if (!ParseTaskFile(bytes, tasks, &reason))
        return fail(reason);
    return true;
}

QByteArray FormatTaskFile(const QList<CTask>& tasks)
{
    CIniWriter ini;
    ini.WriteInt(kGlobalSection, kEntryCountKey, int(tasks.size()));
    for (qsizetype n = 0; n < tasks.size(); ++n)
        tasks[n].SaveToIni(ini, TaskSection(n));
    return ini.ToUtf8();
}

bool WriteTaskFile(const QString& path, const QList<CTask>& tasks, QString* error)
{
    auto fail = [&](const QString& reason) {
        if (error)
            *error = QStringLiteral("Cannot save the task file '%1': %2").arg(QDir::toNativeSeparators(path), reason);
        return false;
    };

    if (QFileInfo(path).isDir())
        return fail(QStringLiteral("a folder of that name exists."));
    // Unbuffered, so that each write reaches the system at once and a failure keeps its
    // cause: Qt reports a write that stops part-way, or a failed flush of its buffer, as
    // "Unknown error".
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail(file.errorString() + u'.');
    const QByteArray bytes = FormatTaskFile(tasks);
    // A short write is no error yet; the next write of the rest tells why it stopped.
    qsizetype written = 0;
    while (written < bytes.size()) {
        const qint64 count = file.write(bytes.constData() + written, bytes.size() - written);
        if (count <= 0) {
            const QString reason = file.errorString();
            file.cancelWriting();
            return fail(reason + u'.');
        }
        written += qsizetype(count);
    }
    QString reason;
    if (!SyncToDisk(file, &reason)) {
        file.cancelWriting();
        return fail(reason + u'.');
    }
    if (!file.commit())
        return fail(file.errorString() + u'.');
    return true;
}
