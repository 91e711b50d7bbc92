#include "ui/shell/TrayStatus.h"

#include "Version.h"
#include "core/alerts/AlertSnooze.h"
#include "core/shell/Hub.h"
#include "core/shell/StatusBoard.h"
#include "core/support/Clock.h"
#include "core/tasks/VigrelDoc.h"

#include <QDateTime>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace {
// Tray icons are drawn at 16 to 48 pixels; one large master scales down cleanly.
constexpr int kIconSize = 64;
// Tooltips that list hundreds of tasks become unreadable and some trays cut them short anyway.
constexpr int kMaxListedTasks = 10;
} // namespace

CTrayStatus::CTrayStatus(CHub* hub, CStatusBoard* board, QSystemTrayIcon* icon, QObject* parent)
    : QObject(parent)
    , m_pHub(hub)
    , m_pBoard(board)
    , m_pIcon(icon)
{
    if (m_pBoard) {
        connect(m_pBoard, &CStatusBoard::GlanceChanged, this, [this](int) { QueueUpdate(); });
        connect(m_pBoard, &CStatusBoard::Refreshed, this, &CTrayStatus::Update);
    }
    if (m_pHub) {
        connect(m_pHub, &CHub::EngineSwitched, this, [this](bool, const QString&) { Update(); });
        connect(m_pHub->GetAlertSnooze(), &CAlertSnooze::Changed, this, &CTrayStatus::FollowSnooze);
        // A task renamed or deleted while down must show so in the tooltip at once.
        if (CVigrelDoc* document = m_pHub->GetDocument()) {
            connect(document, &CVigrelDoc::TaskChanged, this, [this](int) { QueueUpdate(); });
            connect(document, &CVigrelDoc::TaskRemoved, this, [this](int) { Update(); });
            connect(document, &CVigrelDoc::TasksCleared, this, &CTrayStatus::Update);
        }
    }
    m_AgeTimer.setInterval(60 * 1000);
    connect(&m_AgeTimer, &QTimer::timeout, this, &CTrayStatus::Update);
    m_bSnoozed = m_pHub && m_pHub->GetAlertSnooze()->AllSnoozed(CurrentTime());
    Update();
}

void CTrayStatus::FollowSnooze()
{
    const bool all = m_pHub->GetAlertSnooze()->AllSnoozed(CurrentTime());
    if (all != m_bSnoozed)
        SetAlertsSnoozed(all);
    else
        Update(); // a single task's snooze changes only the tooltip
}

void CTrayStatus::QueueUpdate()
{
    // A refresh of the history or a burst of results changes many tasks in one turn of the
    // event loop; every update walks all tasks and paints the icon, so one is enough.
    if (m_bUpdateQueued)
        return;
    m_bUpdateQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_bUpdateQueued = false;
        Update();
    });
}

void CTrayStatus::SetAlertsSnoozed(bool snoozed)
{
    if (m_bSnoozed == snoozed)
        return;
    m_bSnoozed = snoozed;
    Update();
}

void CTrayStatus::Update()
{
    const QList<int> down = m_pBoard ? m_pBoard->GetDownTasks() : QList<int>();
    const bool engineOff = m_pHub && !m_pHub->IsEngineOn();
    eTrayState state = eAllUp;
    if (!down.isEmpty())
        state = eSomeDown;
    else if (engineOff)
        state = eEngineOff;
    else if (m_bSnoozed)
        state = eSnoozed;

    QStringList lines {QStringLiteral(CORVANE_PRODUCT_NAME)};
    if (engineOff)
        lines << QStringLiteral("Engine stopped");
    const CVigrelDoc* document = m_pHub ? m_pHub->GetDocument() : nullptr;
    const QMap<QString, qint64> snoozes
        = m_pHub ? m_pHub->GetAlertSnooze()->Entries(CurrentTime()) : QMap<QString, qint64>();
    if (snoozes.contains(CAlertSnooze::kAllTasksKey))
        lines << CAlertSnooze::SnoozedToolTip(snoozes.value(CAlertSnooze::kAllTasksKey));
    else if (m_bSnoozed)
        lines << QStringLiteral("Alerts snoozed");
    if (document && !snoozes.isEmpty()) {
        int listed = 0;
        int more = 0;
        for (const CTask& task : document->GetTasks()) {
            const auto own = snoozes.constFind(task.m_TaskGuid);
            if (task.m_TaskGuid.isEmpty() || own == snoozes.cend())
                continue;
            // A task's own snooze that ends before the one for all says nothing more.
            if (snoozes.contains(CAlertSnooze::kAllTasksKey) && *own <= snoozes.value(CAlertSnooze::kAllTasksKey))
                continue;
            if (listed++ < kMaxListedTasks)
                lines << task.m_Name + QStringLiteral(": ") + CAlertSnooze::SnoozedToolTip(*own);
            else
                ++more;
        }
        if (more > 0)
            lines << QStringLiteral("and %1 more with alerts snoozed").arg(more);
    }
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    for (int i = 0; i < down.size() && i < kMaxListedTasks; ++i) {
        CTask task;
        const CTaskGlance* glance = m_pBoard->Find(down[i]);
        if (!document || !glance || !document->GetTask(down[i], task))
            continue;
        lines << (glance->m_SinceMs > 0
                      ? QStringLiteral("%1: down since %2").arg(task.m_Name, FormatSince(glance->m_SinceMs, nowMs))
                      : QStringLiteral("%1: down").arg(task.m_Name));
    }
    if (down.size() > kMaxListedTasks)
        lines << QStringLiteral("and %1 more down").arg(down.size() - kMaxListedTasks);
    const QString toolTip = lines.join(QLatin1Char('\n'));

    if (down.isEmpty())
        m_AgeTimer.stop();
    else if (!m_AgeTimer.isActive())
        m_AgeTimer.start();

    // Painting and handing an icon to the tray is not free, and a results burst calls this often.
    const bool iconChanged = !m_bIconSet || state != m_State || (state == eSomeDown && down.size() != m_nDown);
    m_State = state;
    m_nDown = int(down.size());
    if (m_pIcon && iconChanged) {
        m_pIcon->setIcon(PaintIcon(state, m_nDown));
        m_bIconSet = true;
    }
    if (toolTip != m_ToolTip) {
        m_ToolTip = toolTip;
        if (m_pIcon)
            m_pIcon->setToolTip(toolTip);
    }
}

QIcon CTrayStatus::PaintIcon(eTrayState state, int count)
{
    QPixmap pixmap(kIconSize, kIconSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QIcon(QStringLiteral(":/icons/app.svg")).paint(&painter, pixmap.rect());

    QColor colour;
    QString mark;
    switch (state) {
    case eAllUp:
        colour = QColor(0x2e, 0x9e, 0x44);
        break;
    case eSnoozed:
        colour = QColor(0xe0, 0x9b, 0x1a);
        mark = QStringLiteral("z");
        break;
    case eEngineOff:
        colour = QColor(0x80, 0x80, 0x80);
        break;
    case eSomeDown:
        colour = QColor(0xd3, 0x2f, 0x2f);
        mark = count > 99 ? QStringLiteral("99+") : QString::number(count);
        break;
    }
    // The badge takes the lower right corner, large enough for a two-digit count to stay
    // legible when the tray shrinks the icon to 16 pixels.
    const int badge = mark.size() > 1 ? kIconSize * 5 / 8 : kIconSize / 2;
    const QRect badgeRect(kIconSize - badge, kIconSize - badge, badge, badge);
    painter.setPen(QPen(Qt::white, 3));
    painter.setBrush(colour);
    painter.drawEllipse(badgeRect.adjusted(1, 1, -1, -1));
    if (!mark.isEmpty()) {
        QFont font = painter.font();
        font.setBold(true);
        font.setPixelSize(mark.size() > 2 ? badge / 3 : badge / 2);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(badgeRect, Qt::AlignCenter, mark);
    }
    painter.end();
    return QIcon(pixmap);
}

QString CTrayStatus::FormatSince(qint64 sinceMs, qint64 nowMs)
{
    const QDateTime since = QDateTime::fromMSecsSinceEpoch(sinceMs);
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(nowMs);
    const QString at = since.date() == now.date() ? since.toString(QStringLiteral("HH:mm"))
                                                  : since.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    const qint64 minutes = qMax<qint64>(0, (nowMs - sinceMs) / 60000);
    QString age;
    if (minutes < 60)
        age = QStringLiteral("%1 min").arg(minutes);
    else if (minutes < 48 * 60)
        age = QStringLiteral("%1 h %2 min").arg(minutes / 60).arg(minutes % 60);
    else
        age = QStringLiteral("%1 days").arg(minutes / (24 * 60));
    return QStringLiteral("%1 (%2)").arg(at, age);
}
