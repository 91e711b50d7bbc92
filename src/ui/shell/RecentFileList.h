#pragma once

#include <QStringList>

// The task files opened or saved last, newest first, at most four, kept in the settings
// group "Recent File List" so that the File menu offers them in the next run too.
class CRecentFileList
{
public:
    static constexpr int kMaxEntries = 4;

    void Load();
    void Save() const;

    // Puts path first (the same file is never listed twice) and drops the oldest past the limit.
    void Add(const QString& path);
    void Remove(const QString& path);
    const QStringList& GetFiles() const { return m_Files; }

private:
    QStringList m_Files;
};
