#include "MainFrameFixture.h"
#include "support/HttpTestServer.h"
#include "ui/tasks/VigrelView.h"

#include <QAction>
#include <QItemSelectionModel>
#include <QStatusBar>
#include <QTest>
#include <QTreeView>

// Task > Execute on a task that the engine is still busy with says so instead of queueing it.
TEST_F(MainFrameTest, ExecutingATaskThatIsStillRunningSaysSoInTheStatusBar)
{
    CSilentListener hung;
    ASSERT_TRUE(hung.IsListening());
    CTask task = Task(QStringLiteral("Hanging"));
    task.m_CheckAction = eCheckHttpGet;
    task.m_HttpGetURL = hung.Url(QStringLiteral("/"));
    task.m_TimeoutSec = 60;
    m_Document.AddTask(task);
    ASSERT_TRUE(m_pFrame->Start());
    m_bHubStarted = true;
    QTreeView* list = m_pFrame->GetView()->findChild<QTreeView*>();
    ASSERT_NE(list, nullptr);
    list->selectionModel()->select(list->model()->index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);

    Command("taskExecute")->trigger();
    QTRY_VERIFY(m_Hub.IsTaskRunning());
    Command("taskExecute")->trigger();
    EXPECT_TRUE(m_pFrame->statusBar()->currentMessage().startsWith(u"Task Hanging is already "))
        << m_pFrame->statusBar()->currentMessage().toStdString();
}
