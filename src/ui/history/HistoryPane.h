#pragma once

#include "core/history/HistoryStore.h"

#include <QList>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <functional>

class CHub;
class CUptimeStrip;
class QChartView;
class QComboBox;
class QLabel;
class QPushButton;
class QTreeWidget;

// The output window's History tab: the selected task's past as the result history keeps it.
// Every figure comes from a query on the history's thread, so a slow database never holds
// the window; answers that arrive after the task or the range changed are dropped.
class CHistoryPane : public QWidget
{
    Q_OBJECT

public:
    // The ranges the chart offers, with the resolution each is drawn at.
    enum eRange
    {
        e24Hours,
        e7Days,
        e30Days,
        e1Year,
    };

    explicit CHistoryPane(CHub* hub, QWidget* parent = nullptr);

    // Shows task taskId of the hub's document (-1: none) and asks the history anew.
    void SetTask(int taskId);
    void SetRange(eRange range);
    eRange GetRange() const { return m_Range; }
    // Asks every query again for the shown task; Refreshed() follows once all have answered.
    void Refresh();

    // What is shown, for the window's tests and the exports.
    const QString& GetTaskKey() const { return m_TaskKey; }
    const QList<CSeriesPoint>& GetSeries() const { return m_Series; }
    const QList<CSeriesPoint>& GetDailyUptime() const { return m_Daily; }
    const QList<CIncident>& GetIncidents() const { return m_Incidents; }
    QTreeWidget* GetIncidentList() const { return m_pIncidents; }
    QTreeWidget* GetCrawlList() const { return m_pCrawlLinks; }
    QChartView* GetChartView() const { return m_pChartView; }
    QChartView* GetPhaseView() const { return m_pPhaseView; }
    QLabel* GetCertificateLabel() const { return m_pCertificate; }
    CUptimeStrip* GetUptimeStrip() const { return m_pStrip; }

    // Writes the shown range's points; false (with the reason) when the file cannot be written.
    bool WriteCsv(const QString& path, QString* error) const;
    bool WritePng(const QString& path) const;
    // The Export buttons: ask for a file name, then write.
    void OnExportCsv();
    void OnExportPng();

    // Test seam: answers the save dialog (suggested name, filter) instead of the user.
    using SaveFileAsker = std::function<QString(const QString& suggested, const QString& filter)>;
    static void SetSaveFileAskerForTesting(SaveFileAsker asker);

signals:
    // Every query asked by the last Refresh has answered and is shown.
    void Refreshed();

private:
    void OnResultReady(const QString& taskKey);
    void Clear();
    void Answered();
    QString AskSaveFile(const QString& suggested, const QString& filter);

    // Drawing what came back (HistoryCharts.cpp).
    void ShowSeries(qint64 fromMs, qint64 toMs);
    void ShowIncidents();
    void ShowLatest(const CTaskStatus& status);
    void ShowCrawls(const CCrawlComparison& crawls);

    CHub* m_pHub;
    int m_TaskId = -1;
    QString m_TaskKey;
    QString m_TaskName;
    eRange m_Range = e24Hours;
    quint64 m_Generation = 0; // counts Refresh calls: older answers are stale
    int m_nPending = 0;
    qint64 m_ResolutionMs = 0;
    QTimer m_Debounce;

    QList<CSeriesPoint> m_Series;
    QList<CSeriesPoint> m_Daily;
    QList<CIncident> m_Incidents;

    QComboBox* m_pRangeBox;
    QChartView* m_pChartView;
    CUptimeStrip* m_pStrip;
    QTreeWidget* m_pIncidents;
    QChartView* m_pPhaseView;
    QLabel* m_pCertificate;
    QTreeWidget* m_pCrawlLinks;
    QPushButton* m_pExportCsv;
    QPushButton* m_pExportPng;
    QLabel* m_pExportStatus; // why the last export failed
};

// Ninety days as a row of bars, each as high as that day's uptime, grey for a day without
// runs; a day's figure shows as the tooltip.
class CUptimeStrip : public QWidget
{
public:
    explicit CUptimeStrip(QWidget* parent = nullptr);

    static constexpr int kDays = 90;
    // firstDayMs: the start (UTC) of the oldest day shown.
    void SetDays(qint64 firstDayMs, const QList<CSeriesPoint>& days);
    // The tooltip text of the bar under x, empty beside the bars.
    QString TextAt(int x) const;
    QSize sizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    int DayAt(int x) const;
    qint64 m_FirstDayMs = 0;
    QList<CSeriesPoint> m_Days; // kDays entries, m_Runs 0 for a day without runs
};
