#include "ui/tasks/SparklineDelegate.h"

#include "ui/tasks/TaskListModel.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

void CSparklineDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    // The background and the selection as every other cell draws them.
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    background.icon = QIcon();
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);

    const QList<qint64> recent = index.data(CTaskListModel::RecentRole).value<QList<qint64>>();
    const QList<bool> failures = index.data(CTaskListModel::RecentFailedRole).value<QList<bool>>();
    if (recent.isEmpty())
        return;
    const QRectF area = QRectF(option.rect).adjusted(3, 3, -3, -3);
    if (area.width() < 4 || area.height() < 4)
        return;
    qint64 slowest = 0;
    for (const qint64 us : recent)
        slowest = std::max(slowest, us);
    const qreal step = recent.size() > 1 ? area.width() / qreal(recent.size() - 1) : 0;
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette& palette = option.palette;
    const bool dark = palette.color(QPalette::Base).lightness() < 128;
    const QColor line = selected ? palette.color(QPalette::HighlightedText)
                                 : (dark ? QColor(0x64, 0xb5, 0xf6) : QColor(0x15, 0x65, 0xc0));
    const QColor failed = dark ? QColor(0xff, 0x6b, 0x6b) : QColor(0xc6, 0x28, 0x28);

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    bool open = false;
    for (int i = 0; i < recent.size(); ++i) {
        const qreal x = area.left() + step * i;
        if (recent.at(i) < 0) {
            // A gap in the line: nothing was measured.
            open = false;
            continue;
        }
        const qreal share = slowest > 0 ? qreal(recent.at(i)) / qreal(slowest) : 0;
        const QPointF point(x, area.bottom() - share * area.height());
        if (open)
            path.lineTo(point);
        else
            path.moveTo(point);
        open = true;
    }
    painter->setPen(QPen(line, 1.2));
    painter->setBrush(Qt::NoBrush);
    painter->drawPath(path);
    painter->setPen(Qt::NoPen);
    painter->setBrush(failed);
    for (int i = 0; i < recent.size(); ++i) {
        const bool failure = recent.at(i) < 0 || (i < failures.size() && failures.at(i));
        if (failure)
            painter->drawRect(QRectF(area.left() + step * i - 1.5, area.bottom() - 3, 3, 3));
    }
    painter->restore();
}
