#include "ui/shell/RecentFileList.h"

#include "core/shell/AppSettings.h"

#include <QFileInfo>
#include <QSettings>

namespace {

const QString kGroup = QStringLiteral("Recent File List");

// Paths are compared as the file system would: the same file reached through "./" or a
// relative name is still one entry.
QString Canonical(const QString& path)
{
    return QFileInfo(path).absoluteFilePath();
}

} // namespace

void CRecentFileList::Load()
{
    m_Files.clear();
    const auto store = OpenSettingsStore();
    store->beginGroup(kGroup);
    for (int i = 1; i <= kMaxEntries; ++i) {
        const QString path = store->value(QStringLiteral("File%1").arg(i)).toString();
        if (!path.isEmpty() && !m_Files.contains(path))
            m_Files << path;
    }
}

void CRecentFileList::Save() const
{
    const auto store = OpenSettingsStore();
    store->remove(kGroup);
    store->beginGroup(kGroup);
    for (int i = 0; i < m_Files.size(); ++i)
        store->setValue(QStringLiteral("File%1").arg(i + 1), m_Files.at(i));
}

void CRecentFileList::Add(const QString& path)
{
    const QString canonical = Canonical(path);
    m_Files.removeAll(canonical);
    m_Files.prepend(canonical);
    while (m_Files.size() > kMaxEntries)
        m_Files.removeLast();
}

void CRecentFileList::Remove(const QString& path)
{
    m_Files.removeAll(Canonical(path));
}
