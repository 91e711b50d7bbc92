#include "core/tasks/TaskKey.h"

#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QUuid>

namespace {

// The namespace of derived task keys. Fixed for good: changing it would give every task
// without a stored key a new key, and so cut it off from its earlier results.
const QUuid kTaskKeyNamespace(QStringLiteral("6b0d8c3e-5f2a-4e71-9c4d-2a8f1e7b9d53"));

QString KeyText(const QUuid& uuid)
{
    return uuid.toString(QUuid::WithoutBraces);
}

QString FilePathForKey(const QString& path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}

} // namespace

QString NormalizeTaskKey(const QString& text)
{
    const QUuid uuid = QUuid::fromString(QStringView(text).trimmed());
    return uuid.isNull() ? QString() : KeyText(uuid);
}

QString NewTaskKey()
{
    return KeyText(QUuid::createUuid());
}

QString DeriveTaskKey(const QString& taskFilePath, const QString& name, int ordinal)
{
    // NUL cannot occur in a path or in a name read from a task file, so no two different
    // triples give the same text.
    const QString seed = FilePathForKey(taskFilePath) + QChar(u'\0') + name + QChar(u'\0') + QString::number(ordinal);
    return KeyText(QUuid::createUuidV5(kTaskKeyNamespace, seed));
}

int AssignTaskKeys(const QString& taskFilePath, QList<CTask>& tasks)
{
    // Stored keys are claimed first, so that a derived key can never take the key a later
    // task holds in the file.
    QSet<QString> used;
    QList<qsizetype> keyless;
    for (qsizetype i = 0; i < tasks.size(); ++i) {
        CTask& task = tasks[i];
        task.m_TaskGuid = NormalizeTaskKey(task.m_TaskGuid);
        if (task.m_TaskGuid.isEmpty() || used.contains(task.m_TaskGuid))
            keyless << i;
        else
            used.insert(task.m_TaskGuid);
    }
    if (keyless.isEmpty())
        return 0;

    const QString path = FilePathForKey(taskFilePath);
    QHash<QString, int> seen; // tasks of each name met so far
    qsizetype next = 0;
    for (qsizetype i = 0; i < tasks.size(); ++i) {
        CTask& task = tasks[i];
        const int ordinal = seen[task.m_Name]++;
        if (next >= keyless.size() || keyless[next] != i)
            continue;
        ++next;
        QString key = DeriveTaskKey(path, task.m_Name, ordinal);
        while (used.contains(key))
            key = NewTaskKey();
        used.insert(key);
        task.m_TaskGuid = key;
    }
    return int(keyless.size());
}
