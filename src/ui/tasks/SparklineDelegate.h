#pragma once

#include <QStyledItemDelegate>

// Draws a row's latest response times (CTaskListModel::RecentRole) as a small line, scaled
// to the slowest of them, with a red mark under each failed run, so a glance down the
// column tells steady tasks from erratic or failing ones.
class CSparklineDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
