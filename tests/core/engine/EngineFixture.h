#pragma once

#include "core/engine/PingThread.h"
#include "support/HttpTestServer.h"
#include "support/RecordingHost.h"
#include "support/TempSettings.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

// An engine on its own thread, reporting to a recording host.
class Engine : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Engine.SetMainFrame(&m_Host);
        ASSERT_TRUE(m_Engine.Start());
    }
    void TearDown() override { EXPECT_TRUE(m_Engine.Shutdown(10000)); }

    CTask MakeTask(int id, const QString& name, int checkAction)
    {
        CTask task;
        task.m_TaskId = id;
        task.m_Name = name;
        task.m_CheckAction = checkAction;
        task.m_TimeoutSec = 5;
        return task;
    }

    // Runs the task and waits until the engine has posted its final state.
    QStringList Run(const CTask& task)
    {
        m_Host.Clear();
        m_Host.AddTask(task);
        m_Engine.PostRunTask(task.m_TaskId);
        EXPECT_TRUE(m_Host.WaitForEvent(QStringLiteral("state 2 %1").arg(task.m_TaskId)));
        return m_Host.Events();
    }

    // The one message that carries the task id: the verdict.
    QString Verdict(const QStringList& events, int taskId)
    {
        const QString prefix = QStringLiteral(" %1 ").arg(taskId);
        QString verdict;
        for (const QString& line : events) {
            if (!line.startsWith(u"state") && line.mid(1).startsWith(prefix)) {
                EXPECT_TRUE(verdict.isEmpty()) << "two verdicts: " << verdict.toStdString();
                verdict = line;
            }
        }
        return verdict;
    }

    CTempSettings m_Settings;
    CRecordingHost m_Host;
    CPingThread m_Engine;
};

// A small site: path -> (content type, body, status).
struct Page
{
    std::string type = "text/html";
    std::string body;
    int status = 200;
};

inline void Serve(CHttpTestServer& server, const std::map<std::string, Page>& site)
{
    server.Get(".*", [site](const httplib::Request& request, httplib::Response& response) {
        const auto it = site.find(request.path);
        if (it == site.end()) {
            response.status = 404;
            response.set_content("<html>not here</html>", "text/html");
            return;
        }
        response.status = it->second.status;
        response.set_content(it->second.body, it->second.type);
    });
}
