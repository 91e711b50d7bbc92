#include "ui/output/OutputModel.h"

#include <QFile>

COutputModel::COutputModel(QObject* parent)
    : QAbstractTableModel(parent)
{ }

CMessageLog::CPendingChange COutputModel::CommitPending()
{
    const CMessageLog::CPendingChange change = m_Log.GetPendingChange();
    if (change.m_nRemoved > 0) {
        beginRemoveRows({}, 0, change.m_nRemoved - 1);
        m_Log.CommitRemoval();
        endRemoveRows();
    }
    if (change.m_nInserted > 0) {
        const int first = m_Log.GetRowCount();
        beginInsertRows({}, first, first + change.m_nInserted - 1);
        m_Log.CommitInsertion();
        endInsertRows();
    } else {
        m_Log.CommitInsertion(); // drops what the limit pushed out before anyone saw it
    }
    return change;
}

void COutputModel::Clear()
{
    beginResetModel();
    m_Log.Clear();
    endResetModel();
}

QIcon COutputModel::GetSeverityIcon(int code)
{
    // Loaded once: the view asks for an icon on every painted row.
    static const std::array<QIcon, 7> icons = [] {
        std::array<QIcon, 7> loaded;
        for (int i = 0; i < int(loaded.size()); ++i) {
            const QString path = QStringLiteral(":/icons/severity%1.svg").arg(i);
            // A QIcon made from a missing file is not null, it just paints nothing; keep it null.
            if (QFile::exists(path))
                loaded[std::size_t(i)] = QIcon(path);
        }
        return loaded;
    }();
    return code >= 0 && code < int(icons.size()) ? icons[std::size_t(code)] : QIcon();
}

int COutputModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_Log.GetRowCount();
}

int COutputModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant COutputModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_Log.GetRowCount())
        return {};
    const CMessageRow& row = m_Log.GetRow(index.row());
    switch (role) {
    case Qt::DisplayRole:
        if (index.column() == kTaskColumn)
            return row.m_TaskName;
        return m_Log.GetColumnText(index.row(), index.column());
    case Qt::DecorationRole:
        if (index.column() == 0)
            return GetSeverityIcon(row.m_nSeverity);
        break;
    case Qt::ToolTipRole:
        // Long one-line messages are cut at the column's edge; the tool tip shows them whole.
        if (index.column() == 2 && !row.HasDetails())
            return row.m_Text;
        break;
    default:
        break;
    }
    return {};
}

QVariant COutputModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case 0:
        return QStringLiteral("Time Stamp");
    case 1:
        return QStringLiteral("Severity");
    case 2:
        return QStringLiteral("Message");
    case kTaskColumn:
        return QStringLiteral("Task");
    default:
        return {};
    }
}
