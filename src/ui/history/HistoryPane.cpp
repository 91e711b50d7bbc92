// The History tab's layout, its queries and its exports; the drawing is in HistoryCharts.cpp.
#include "ui/history/HistoryPane.h"

#include "core/history/HistoryThread.h"
#include "core/shell/Hub.h"
#include "core/tasks/Task.h"
#include "core/tasks/VigrelDoc.h"

#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QTextStream>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

constexpr qint64 kMinuteMs = 60000;
constexpr qint64 kHourMs = 60 * kMinuteMs;
constexpr qint64 kDayMs = 24 * kHourMs;
// Results of a burst of runs are drawn once, a moment after the last of them.
constexpr int kDebounceMs = 500;

CHistoryPane::SaveFileAsker& Asker()
{
    static CHistoryPane::SaveFileAsker asker;
    return asker;
}

struct CRangeInfo
{
    const char* m_Label;
    qint64 m_LengthMs;
    qint64 m_ResolutionMs;
};

// Resolutions keep each range to a few hundred points at most.
constexpr CRangeInfo kRanges[] = {
    {"24 hours", kDayMs, 5 * kMinuteMs},
    {"7 days", 7 * kDayMs, kHourMs},
    {"30 days", 30 * kDayMs, 6 * kHourMs},
    {"1 year", 365 * kDayMs, kDayMs},
};

QString CsvMs(qint64 us)
{
    return us < 0 ? QString() : QString::number(double(us) / 1000.0, 'f', 3);
}

} // namespace

CHistoryPane::CHistoryPane(CHub* hub, QWidget* parent)
    : QWidget(parent)
    , m_pHub(hub)
{
    m_pRangeBox = new QComboBox(this);
    for (const CRangeInfo& range : kRanges)
        m_pRangeBox->addItem(QString::fromLatin1(range.m_Label));
    m_pExportCsv = new QPushButton(QStringLiteral("Export CSV..."), this);
    m_pExportPng = new QPushButton(QStringLiteral("Export PNG..."), this);
    m_pExportStatus = new QLabel(this);

    m_pChartView = new QChartView(this);
    m_pChartView->setRenderHint(QPainter::Antialiasing);
    m_pChartView->setMinimumHeight(160);
    m_pStrip = new CUptimeStrip(this);

    m_pIncidents = new QTreeWidget(this);
    m_pIncidents->setRootIsDecorated(false);
    m_pIncidents->setHeaderLabels(
        {QStringLiteral("Down at"), QStringLiteral("Back at"), QStringLiteral("Duration"), QStringLiteral("Text")});
    // The times and durations are short and always read whole; the text takes the rest.
    for (int column = 0; column < 3; ++column)
        m_pIncidents->header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);

    m_pPhaseView = new QChartView(this);
    m_pPhaseView->setRenderHint(QPainter::Antialiasing);
    m_pPhaseView->setMinimumHeight(90);
    m_pCertificate = new QLabel(this);

    m_pCrawlLinks = new QTreeWidget(this);
    m_pCrawlLinks->setRootIsDecorated(false);
    m_pCrawlLinks->setHeaderLabels(
        {QStringLiteral("Change"), QStringLiteral("Link"), QStringLiteral("Found on"), QStringLiteral("Error")});

    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Range:"), this));
    top->addWidget(m_pRangeBox);
    top->addStretch();
    top->addWidget(m_pExportStatus);
    top->addWidget(m_pExportCsv);
    top->addWidget(m_pExportPng);

    auto* grid = new QGridLayout;
    grid->addWidget(m_pChartView, 0, 0);
    grid->addWidget(m_pIncidents, 0, 1);
    auto* phases = new QVBoxLayout;
    phases->addWidget(m_pPhaseView);
    phases->addWidget(m_pCertificate);
    grid->addLayout(phases, 1, 0);
    grid->addWidget(m_pCrawlLinks, 1, 1);
    grid->setColumnStretch(0, 3);
    grid->setColumnStretch(1, 2);
    grid->setRowStretch(0, 3);
    grid->setRowStretch(1, 2);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_pStrip);
    layout->addLayout(grid, 1);

    m_Debounce.setSingleShot(true);
    m_Debounce.setInterval(kDebounceMs);
    connect(&m_Debounce, &QTimer::timeout, this, &CHistoryPane::Refresh);
    connect(m_pRangeBox, &QComboBox::activated, this, [this](int index) { SetRange(eRange(index)); });
    connect(m_pExportCsv, &QPushButton::clicked, this, &CHistoryPane::OnExportCsv);
    connect(m_pExportPng, &QPushButton::clicked, this, &CHistoryPane::OnExportPng);
    if (m_pHub)
        connect(m_pHub, &CHub::CheckResultReady, this,
                [this](const CCheckResult& result) { OnResultReady(result.m_TaskKey); });
    Clear();
}

void CHistoryPane::SetTask(int taskId)
{
    CTask task;
    if (taskId < 0 || !m_pHub || !m_pHub->GetDocument()->GetTask(taskId, task))
        task = CTask();
    m_TaskId = task.m_TaskId;
    m_TaskName = task.m_Name;
    if (task.m_TaskGuid == m_TaskKey && !m_TaskKey.isEmpty())
        return;
    m_TaskKey = task.m_TaskGuid;
    Refresh();
}

void CHistoryPane::SetRange(eRange range)
{
    if (m_pRangeBox->currentIndex() != int(range))
        m_pRangeBox->setCurrentIndex(int(range));
    if (range == m_Range)
        return;
    m_Range = range;
    Refresh();
}

void CHistoryPane::OnResultReady(const QString& taskKey)
{
    if (!taskKey.isEmpty() && taskKey == m_TaskKey)
        m_Debounce.start();
}

void CHistoryPane::Clear()
{
    m_Series.clear();
    m_Daily.clear();
    m_Incidents.clear();
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    m_ResolutionMs = kRanges[m_Range].m_ResolutionMs;
    ShowSeries(nowMs - kRanges[m_Range].m_LengthMs, nowMs);
    m_pStrip->SetDays(nowMs - (CUptimeStrip::kDays - 1) * kDayMs, {});
    ShowIncidents();
    ShowLatest(CTaskStatus());
    ShowCrawls(CCrawlComparison());
}

void CHistoryPane::Refresh()
{
    m_Debounce.stop();
    const quint64 generation = ++m_Generation;
    CHistoryThread* history = m_pHub ? m_pHub->GetHistory() : nullptr;
    if (!history || m_TaskKey.isEmpty()) {
        m_nPending = 0;
        Clear();
        emit Refreshed();
        return;
    }
    const QString key = m_TaskKey;
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    const CRangeInfo& range = kRanges[m_Range];
    const qint64 resolution = range.m_ResolutionMs;
    // The last point is the one now falls in, so the range ends where that point does.
    const qint64 toMs = (nowMs / resolution + 1) * resolution;
    const qint64 fromMs = toMs - range.m_LengthMs;
    const qint64 dayTo = (nowMs / kDayMs + 1) * kDayMs;
    const qint64 dayFrom = dayTo - CUptimeStrip::kDays * kDayMs;
    m_nPending = 5;
    auto fresh = [this, generation] {
        return generation == m_Generation;
    };

    history->Query<QList<CSeriesPoint>>(
        [=](CHistoryStore& store) { return store.GetSeries(key, fromMs, toMs, resolution); }, this,
        [=, this](QList<CSeriesPoint> series) {
            if (!fresh())
                return;
            m_Series = std::move(series);
            m_ResolutionMs = resolution;
            ShowSeries(fromMs, toMs);
            Answered();
        });
    history->Query<QList<CSeriesPoint>>(
        [=](CHistoryStore& store) { return store.GetSeries(key, dayFrom, dayTo, kDayMs); }, this,
        [=, this](QList<CSeriesPoint> days) {
            if (!fresh())
                return;
            m_Daily = std::move(days);
            m_pStrip->SetDays(dayFrom, m_Daily);
            Answered();
        });
    history->Query<QList<CIncident>>([=](CHistoryStore& store) { return store.GetIncidents(key, fromMs, toMs); }, this,
                                     [=, this](QList<CIncident> incidents) {
                                         if (!fresh())
                                             return;
                                         m_Incidents = std::move(incidents);
                                         ShowIncidents();
                                         Answered();
                                     });
    history->Query<CTaskStatus>([=](CHistoryStore& store) { return store.GetStatus(key); }, this,
                                [=, this](CTaskStatus status) {
                                    if (!fresh())
                                        return;
                                    ShowLatest(status);
                                    Answered();
                                });
    history->Query<CCrawlComparison>([=](CHistoryStore& store) { return store.GetLastTwoCrawls(key); }, this,
                                     [=, this](CCrawlComparison crawls) {
                                         if (!fresh())
                                             return;
                                         ShowCrawls(crawls);
                                         Answered();
                                     });
}

void CHistoryPane::Answered()
{
    if (m_nPending > 0 && --m_nPending == 0)
        emit Refreshed();
}

bool CHistoryPane::WriteCsv(const QString& path, QString* error) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    QTextStream out(&file);
    out << "start (UTC),runs,failures,uptime %,mean ms,max ms\n";
    for (const CSeriesPoint& point : m_Series) {
        const double uptime
            = point.m_Runs > 0 ? 100.0 * double(point.m_Runs - point.m_Failures) / double(point.m_Runs) : 0.0;
        out << QDateTime::fromMSecsSinceEpoch(point.m_StartMs, Qt::UTC).toString(Qt::ISODate) << ',' << point.m_Runs
            << ',' << point.m_Failures << ',' << QString::number(uptime, 'f', 2) << ',' << CsvMs(point.m_MeanUs) << ','
            << CsvMs(point.m_MaxUs) << '\n';
    }
    out.flush();
    if (!file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

bool CHistoryPane::WritePng(const QString& path) const
{
    return m_pChartView->grab().save(path, "PNG");
}

QString CHistoryPane::AskSaveFile(const QString& suggested, const QString& filter)
{
    if (Asker())
        return Asker()(suggested, filter);
    return QFileDialog::getSaveFileName(this, QStringLiteral("Export"), suggested, filter);
}

void CHistoryPane::OnExportCsv()
{
    const QString path = AskSaveFile(m_TaskName + QStringLiteral(".csv"), QStringLiteral("CSV files (*.csv)"));
    QString error;
    m_pExportStatus->clear();
    if (!path.isEmpty() && !WriteCsv(path, &error))
        m_pExportStatus->setText(QStringLiteral("Export failed: %1").arg(error));
}

void CHistoryPane::OnExportPng()
{
    const QString path = AskSaveFile(m_TaskName + QStringLiteral(".png"), QStringLiteral("PNG images (*.png)"));
    m_pExportStatus->clear();
    if (!path.isEmpty() && !WritePng(path))
        m_pExportStatus->setText(QStringLiteral("Export failed: %1 cannot be written").arg(path));
}

void CHistoryPane::SetSaveFileAskerForTesting(SaveFileAsker asker)
{
    Asker() = std::move(asker);
}
