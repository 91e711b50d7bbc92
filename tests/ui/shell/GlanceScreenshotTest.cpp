// With CORVANE_SCREENSHOT_DIR set, saves the main window with twenty tasks, some of them
// down, after real runs against a local server: details and icon styles in a light and a
// dark palette, and the History tab over a day of results.
#include "core/history/HistoryStore.h"
#include "core/shell/StatusBoard.h"
#include "support/EventLoop.h"
#include "support/HttpTestServer.h"
#include "ui/output/OutputBar.h"
#include "ui/shell/MainFrameFixture.h"
#include "ui/shell/TrayStatus.h"
#include "ui/tasks/TaskListModel.h"
#include "ui/tasks/VigrelView.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QPainter>
#include <QPalette>
#include <QStandardPaths>
#include <QTabWidget>
#include <QToolTip>

namespace {

QPalette DarkPalette()
{
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(45, 45, 48));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    dark.setColor(QPalette::AlternateBase, QColor(45, 45, 48));
    dark.setColor(QPalette::Text, QColor(230, 230, 230));
    dark.setColor(QPalette::Button, QColor(55, 55, 58));
    dark.setColor(QPalette::ButtonText, QColor(230, 230, 230));
    dark.setColor(QPalette::Highlight, QColor(38, 79, 120));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::ToolTipBase, QColor(60, 60, 60));
    dark.setColor(QPalette::ToolTipText, QColor(230, 230, 230));
    return dark;
}

// A day of five-minute results for one task: answers between 80 and 200 ms, down for an
// hour in the afternoon.
QList<CCheckResult> ADayOf(const CTask& task, qint64 nowMs)
{
    QList<CCheckResult> results;
    for (qint64 start = nowMs - 24 * 3600 * 1000LL; start < nowMs - 5 * 60 * 1000; start += 5 * 60 * 1000) {
        CCheckResult result;
        result.m_TaskKey = task.m_TaskGuid;
        result.m_TaskName = task.m_Name;
        result.m_CheckKind = eCheckHttpGet;
        result.m_StartMs = start;
        const qint64 hour = (nowMs - start) / (3600 * 1000);
        const bool down = hour == 6;
        result.m_Verdict = down ? eVerdict::eFailure : eVerdict::eSuccess;
        result.m_Text = down ? QStringLiteral("Bad HTTP response status 503") : QStringLiteral("Successful");
        result.m_StatusCode = down ? 503 : 200;
        const qint64 total = 80000 + (start / 60000 % 13) * 9000 + (hour > 8 && hour < 12 ? 60000 : 0);
        result.m_LookupUs = 2000;
        result.m_ConnectUs = 9000;
        result.m_FirstByteUs = total - 15000;
        result.m_TotalUs = total;
        result.m_DurationUs = total + 500;
        results.append(result);
    }
    return results;
}

} // namespace

TEST_F(MainFrameTest, GlanceScreenshots)
{
    const QString dir = qEnvironmentVariable("CORVANE_SCREENSHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "CORVANE_SCREENSHOT_DIR is not set";
    CHttpTestServer server;
    server.Get(R"(/ok/.*)", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("<html><body>Welcome</body></html>", "text/html");
    });
    server.Get(R"(/gone/.*)", [](const httplib::Request&, httplib::Response& response) {
        response.status = 503;
        response.set_content("down", "text/plain");
    });
    ASSERT_TRUE(server.Start());

    const QStringList names {
        QStringLiteral("Shop front"),     QStringLiteral("Checkout"),    QStringLiteral("Blog"),
        QStringLiteral("API health"),     QStringLiteral("Status page"), QStringLiteral("Docs"),
        QStringLiteral("Login"),          QStringLiteral("Search"),      QStringLiteral("Images CDN"),
        QStringLiteral("Support desk"),   QStringLiteral("Newsletter"),  QStringLiteral("Careers"),
        QStringLiteral("Partner portal"), QStringLiteral("Webhooks"),    QStringLiteral("Downloads"),
        QStringLiteral("Forum"),          QStringLiteral("Wiki"),        QStringLiteral("Billing"),
        QStringLiteral("Mobile API"),     QStringLiteral("Analytics"),
    };
    QList<int> ids;
    for (int i = 0; i < names.size(); ++i) {
        CTask task;
        task.m_Name = names[i];
        task.m_CheckAction = eCheckHttpGet;
        const bool down = i % 3 == 1 || i == 9;
        task.m_HttpGetURL = server.Url((down ? QStringLiteral("/gone/") : QStringLiteral("/ok/")) + QString::number(i));
        task.m_TimeoutSec = 20;
        task.m_bTaskScheduled = true;
        task.m_PingInterval = 1;
        ids.append(m_Document.AddTask(task));
    }
    // The first task has a day of history behind it.
    CTask first;
    ASSERT_TRUE(m_Document.GetTask(ids[0], first));
    {
        CHistoryLocation location;
        QString error;
        ASSERT_TRUE(CHistoryLocation::Parse(QString(), location, &error)) << error.toStdString();
        CHistoryStore store;
        ASSERT_TRUE(store.Open(location, &error)) << error.toStdString();
        ASSERT_TRUE(store.Record(ADayOf(first, QDateTime::currentMSecsSinceEpoch()), &error)) << error.toStdString();
    }

    NewFrame();
    ASSERT_TRUE(m_pFrame->Start());
    m_bHubStarted = true;
    m_pFrame->resize(1100, 640);
    m_pFrame->show();
    for (int id : ids)
        m_Hub.ExecuteTask(id);
    CStatusBoard* board = m_pFrame->GetStatusBoard();
    ASSERT_TRUE(SpinUntil(
        [&] {
            for (int id : ids) {
                const CTaskGlance* glance = board->Find(id);
                if (!glance || glance->m_Health == eTaskHealth::eUnknown)
                    return false;
            }
            return true;
        },
        std::chrono::seconds(60)));
    SpinUntil([] { return false; }, std::chrono::milliseconds(1500));

    const auto save = [&](const QString& name) {
        QCoreApplication::processEvents();
        ASSERT_TRUE(m_pFrame->grab().save(QDir(dir).filePath(name)));
    };
    const QPalette light = QApplication::palette();
    for (const bool dark : {false, true}) {
        QApplication::setPalette(dark ? DarkPalette() : light);
        const QString suffix = dark ? QStringLiteral("-dark.png") : QStringLiteral("-light.png");
        m_pFrame->GetView()->SetViewStyle(CVigrelView::eDetails);
        save(QStringLiteral("glance-details") + suffix);
        m_pFrame->GetView()->SetViewStyle(CVigrelView::eLargeIcons);
        save(QStringLiteral("glance-icons") + suffix);
    }
    QApplication::setPalette(light);
    m_pFrame->GetView()->SetViewStyle(CVigrelView::eDetails);
    QTabWidget* tabs = m_pFrame->GetOutputBar()->GetTabs();
    ASSERT_GE(tabs->count(), 2);
    m_pFrame->GetView()->GetItemView()->setCurrentIndex(m_pFrame->GetView()->GetModel()->index(0, 0));
    tabs->setCurrentIndex(1);
    SpinUntil([] { return false; }, std::chrono::milliseconds(1500));
    save(QStringLiteral("glance-history.png"));

    // The tray's icon and tooltip as the notification area would show them: the offscreen
    // platform has no tray, so the icon is drawn beside the tooltip text.
    CTrayStatus* tray = m_pFrame->GetTrayStatus();
    ASSERT_NE(tray, nullptr);
    QToolTip::showText(QPoint(40, 40), tray->GetToolTip());
    QWidget* tip = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->inherits("QTipLabel") && widget->isVisible())
            tip = widget;
    ASSERT_NE(tip, nullptr);
    const QPixmap text = tip->grab();
    QPixmap shot(text.width() + 48, std::max(text.height(), 40) + 8);
    shot.fill(QApplication::palette().color(QPalette::Window));
    QPainter painter(&shot);
    painter.drawPixmap(4, 4, CTrayStatus::PaintIcon(tray->GetState(), tray->GetDownCount()).pixmap(32, 32));
    painter.drawPixmap(44, 4, text);
    painter.end();
    ASSERT_TRUE(shot.save(QDir(dir).filePath(QStringLiteral("glance-tray.png"))));
}
