// The History tab's drawing: the response-time chart, the uptime strip, the incidents, the
// phases of the latest request and the crawl comparison.
#include "ui/history/HistoryPane.h"

#include "core/tasks/Task.h"

#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QHelpEvent>
#include <QHorizontalStackedBarSeries>
#include <QLabel>
#include <QLegend>
#include <QLineSeries>
#include <QPainter>
#include <QScatterSeries>
#include <QSet>
#include <QToolTip>
#include <QTreeWidget>
#include <QValueAxis>

#include <algorithm>

namespace {

constexpr qint64 kDayMs = 24 * 3600000LL;

QString LocalTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString Duration(qint64 ms)
{
    const qint64 seconds = ms / 1000;
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
    if (seconds < 86400)
        return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds % 3600 / 60);
    return QStringLiteral("%1 d %2 h").arg(seconds / 86400).arg(seconds % 86400 / 3600);
}

QString LinkKey(const CBrokenLink& link)
{
    return link.m_Url + QLatin1Char('\n') + link.m_Referrer;
}

} // namespace

void CHistoryPane::ShowSeries(qint64 fromMs, qint64 toMs)
{
    auto* chart = new QChart;
    chart->setTitle(QStringLiteral("Mean response time (ms)"));
    chart->legend()->setVisible(false);
    chart->setMargins(QMargins(4, 4, 4, 4));
    auto* line = new QLineSeries(chart);
    auto* failures = new QScatterSeries(chart);
    failures->setColor(Qt::red);
    failures->setMarkerSize(7);
    double maxMs = 1.0;
    for (const CSeriesPoint& point : m_Series) {
        const double x = double(point.m_StartMs + m_ResolutionMs / 2);
        const double ms = point.m_MeanUs >= 0 ? double(point.m_MeanUs) / 1000.0 : -1.0;
        if (ms >= 0) {
            line->append(x, ms);
            maxMs = std::max(maxMs, ms);
        }
        // A failure without a response time of its own sits on the axis.
        if (point.m_Failures > 0)
            failures->append(x, std::max(ms, 0.0));
    }
    chart->addSeries(line);
    chart->addSeries(failures);
    auto* xAxis = new QDateTimeAxis(chart);
    xAxis->setFormat(toMs - fromMs <= kDayMs ? QStringLiteral("HH:mm") : QStringLiteral("MM-dd"));
    xAxis->setRange(QDateTime::fromMSecsSinceEpoch(fromMs), QDateTime::fromMSecsSinceEpoch(toMs));
    xAxis->setTickCount(7);
    auto* yAxis = new QValueAxis(chart);
    yAxis->setRange(0, maxMs * 1.1);
    yAxis->setLabelFormat(QStringLiteral("%.0f"));
    chart->addAxis(xAxis, Qt::AlignBottom);
    chart->addAxis(yAxis, Qt::AlignLeft);
    for (QAbstractSeries* series : chart->series()) {
        series->attachAxis(xAxis);
        series->attachAxis(yAxis);
    }
    QChart* old = m_pChartView->chart();
    m_pChartView->setChart(chart);
    delete old;
}

void CHistoryPane::ShowIncidents()
{
    m_pIncidents->clear();
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    // Newest first: the one that matters is usually the latest.
    for (auto it = m_Incidents.crbegin(); it != m_Incidents.crend(); ++it) {
        auto* item = new QTreeWidgetItem(m_pIncidents);
        item->setText(0, LocalTime(it->m_StartMs));
        item->setText(1, it->m_EndMs >= 0 ? LocalTime(it->m_EndMs) : QStringLiteral("still down"));
        item->setText(2, Duration(it->DurationMs(nowMs)));
        item->setText(3, it->m_Text);
        item->setToolTip(3, it->m_Text);
    }
}

void CHistoryPane::ShowLatest(const CTaskStatus& status)
{
    auto* chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(2, 2, 2, 2));
    QString certificate;
    const bool http
        = status.m_LastResult && status.m_LastResult->m_CheckKind != eCheckPing && status.m_LastResult->m_TotalUs >= 0;
    if (http) {
        const CCheckResult& result = *status.m_LastResult;
        // A TCP check has no TLS and no page: its connection, then the answer it waited for
        // when it sent or expected a text.
        const bool tcp = result.m_CheckKind == eCheckTcp;
        chart->setTitle(tcp ? QStringLiteral("Latest connection (ms)") : QStringLiteral("Latest request (ms)"));
        auto* series = new QHorizontalStackedBarSeries(chart);
        // Each phase time counts from the start of the request: a bar is the distance from
        // the phase before it that was measured.
        const QList<std::pair<const char*, qint64>> phases = tcp
            ? QList<std::pair<const char*, qint64>> {{"Lookup", result.m_LookupUs},
                                                     {"Connect", result.m_ConnectUs},
                                                     {"Answer", result.m_TotalUs}}
            : QList<std::pair<const char*, qint64>> {{"Lookup", result.m_LookupUs},
                                                     {"Connect", result.m_ConnectUs},
                                                     {"TLS", result.m_TlsUs},
                                                     {"First byte", result.m_FirstByteUs},
                                                     {"Transfer", result.m_TotalUs}};
        qint64 before = 0;
        for (const auto& [name, atUs] : phases) {
            auto* set = new QBarSet(QString::fromLatin1(name), series);
            const qint64 length = atUs >= before ? atUs - before : 0;
            if (atUs >= before)
                before = atUs;
            *set << double(length) / 1000.0;
            series->append(set);
        }
        chart->addSeries(series);
        chart->createDefaultAxes();
        if (result.m_CertExpiryMs >= 0) {
            const qint64 daysLeft = (result.m_CertExpiryMs - QDateTime::currentMSecsSinceEpoch()) / kDayMs;
            certificate = QStringLiteral("Certificate: %1 days left (until %2)")
                              .arg(daysLeft)
                              .arg(LocalTime(result.m_CertExpiryMs));
        }
    } else {
        const bool tcp = status.m_LastResult && status.m_LastResult->m_CheckKind == eCheckTcp;
        chart->setTitle(tcp ? QStringLiteral("No TCP connection recorded")
                            : QStringLiteral("No HTTP request recorded"));
    }
    m_pCertificate->setText(certificate);
    m_pCertificate->setVisible(!certificate.isEmpty());
    QChart* old = m_pPhaseView->chart();
    m_pPhaseView->setChart(chart);
    delete old;
}

void CHistoryPane::ShowCrawls(const CCrawlComparison& crawls)
{
    m_pCrawlLinks->clear();
    m_pCrawlLinks->setVisible(crawls.m_LatestStartMs.has_value());
    if (!crawls.m_LatestStartMs)
        return;
    QSet<QString> before;
    for (const CBrokenLink& link : crawls.m_Previous)
        before.insert(LinkKey(link));
    QSet<QString> now;
    for (const CBrokenLink& link : crawls.m_Latest)
        now.insert(LinkKey(link));
    auto add = [this](const QString& change, const CBrokenLink& link) {
        auto* item = new QTreeWidgetItem(m_pCrawlLinks, {change, link.m_Url, link.m_Referrer, link.m_Error});
        item->setToolTip(1, link.m_Url);
    };
    // Without an earlier crawl nothing is new or mended: every broken link is simply broken.
    const bool compare = crawls.m_PreviousStartMs.has_value();
    for (const CBrokenLink& link : crawls.m_Latest)
        if (!compare || !before.contains(LinkKey(link)))
            add(compare ? QStringLiteral("Broken") : QStringLiteral("Broken (first crawl)"), link);
    for (const CBrokenLink& link : crawls.m_Previous)
        if (!now.contains(LinkKey(link)))
            add(QStringLiteral("Mended"), link);
}

CUptimeStrip::CUptimeStrip(QWidget* parent)
    : QWidget(parent)
{
    setMouseTracking(true);
    setMinimumHeight(28);
    SetDays(0, {});
}

QSize CUptimeStrip::sizeHint() const
{
    return QSize(kDays * 6, 32);
}

void CUptimeStrip::SetDays(qint64 firstDayMs, const QList<CSeriesPoint>& days)
{
    m_FirstDayMs = firstDayMs - firstDayMs % kDayMs;
    m_Days = QList<CSeriesPoint>(kDays);
    for (int i = 0; i < kDays; ++i)
        m_Days[i].m_StartMs = m_FirstDayMs + i * kDayMs;
    for (const CSeriesPoint& day : days) {
        const qint64 index = (day.m_StartMs - m_FirstDayMs) / kDayMs;
        if (index >= 0 && index < kDays)
            m_Days[int(index)] = day;
    }
    update();
}

int CUptimeStrip::DayAt(int x) const
{
    if (x < 0 || x >= width() || width() <= 0)
        return -1;
    return std::clamp(int(qint64(x) * kDays / width()), 0, kDays - 1);
}

QString CUptimeStrip::TextAt(int x) const
{
    const int index = DayAt(x);
    if (index < 0)
        return {};
    const CSeriesPoint& day = m_Days.at(index);
    const QString date = QDateTime::fromMSecsSinceEpoch(day.m_StartMs, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd"));
    if (day.m_Runs <= 0)
        return QStringLiteral("%1: no runs").arg(date);
    const double uptime = 100.0 * double(day.m_Runs - day.m_Failures) / double(day.m_Runs);
    return QStringLiteral("%1: %2% up, %3 runs, %4 failed")
        .arg(date)
        .arg(QString::number(uptime, 'f', 2))
        .arg(day.m_Runs)
        .arg(day.m_Failures);
}

bool CUptimeStrip::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QString text = TextAt(help->pos().x());
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), text, this);
        return true;
    }
    return QWidget::event(event);
}

void CUptimeStrip::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const int h = height() - 2;
    for (int i = 0; i < kDays; ++i) {
        const int left = int(qint64(i) * width() / kDays);
        const int right = int(qint64(i + 1) * width() / kDays) - 1;
        const CSeriesPoint& day = m_Days.at(i);
        QColor color(Qt::lightGray);
        int barHeight = h;
        if (day.m_Runs > 0) {
            const double share = double(day.m_Runs - day.m_Failures) / double(day.m_Runs);
            color = share >= 0.999 ? QColor(46, 160, 67) : share >= 0.95 ? QColor(219, 171, 9) : QColor(207, 34, 46);
            barHeight = std::max(3, int(h * share));
        }
        painter.fillRect(QRect(left, 1 + h - barHeight, std::max(1, right - left), barHeight), color);
    }
}
