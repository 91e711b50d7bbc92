#include "core/tasks/VigrelDoc.h"
#include "core/support/Clock.h"
#include "core/tasks/TaskFile.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

CTask Named(const QString& name)
{
    CTask task;
    task.m_Name = name;
    return task;
}

QStringList Names(const QList<CTask>& tasks)
{
    QStringList names;
    for (const CTask& task : tasks)
        names << task.m_Name;
    return names;
}

QList<int> Ids(const QList<CTask>& tasks)
{
    QList<int> ids;
    for (const CTask& task : tasks)
        ids << task.m_TaskId;
    return ids;
}

class VigrelDoc : public ::testing::Test
{
protected:
    QString Path(const QString& name) const { return m_Dir.filePath(name); }

    CTempSettings m_Settings;
    QTemporaryDir m_Dir;
};

} // namespace

TEST_F(VigrelDoc, IdsAndListOrderAcrossSaveAndOpen)
{
    CVigrelDoc doc;
    EXPECT_EQ(doc.AddTask(Named(QStringLiteral("one"))), 1);
    EXPECT_EQ(doc.AddTask(Named(QStringLiteral("two"))), 2);
    EXPECT_EQ(doc.AddTask(Named(QStringLiteral("three"))), 3);
    EXPECT_EQ(Ids(doc.GetTasks()), (QList<int> {1, 2, 3}));
    ASSERT_TRUE(doc.OnSaveDocument(Path(QStringLiteral("t.cvn"))));

    QList<CTask> saved;
    ASSERT_TRUE(ReadTaskFile(Path(QStringLiteral("t.cvn")), saved, nullptr));
    EXPECT_EQ(Names(saved), (QStringList {QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")}))
        << "saved in the order the list shows";

    CVigrelDoc reopened;
    ASSERT_TRUE(reopened.OnOpenDocument(Path(QStringLiteral("t.cvn"))));
    EXPECT_EQ(Ids(reopened.GetTasks()), (QList<int> {0, 1, 2}));
    CTask first;
    ASSERT_TRUE(reopened.GetTask(0, first));
    EXPECT_EQ(first.m_Name, u"one");
    EXPECT_EQ(reopened.AddTask(Named(QStringLiteral("four"))), 5);

    // Saving what was opened, again and again, keeps the list as it is.
    ASSERT_TRUE(reopened.OnSaveDocument(Path(QStringLiteral("t2.cvn"))));
    CVigrelDoc third;
    ASSERT_TRUE(third.OnOpenDocument(Path(QStringLiteral("t2.cvn"))));
    EXPECT_EQ(
        Names(third.GetTasks()),
        (QStringList {QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three"), QStringLiteral("four")}));
    ASSERT_TRUE(third.OnSaveDocument(Path(QStringLiteral("t3.cvn"))));
    EXPECT_EQ(ReadBytes(Path(QStringLiteral("t3.cvn"))), ReadBytes(Path(QStringLiteral("t2.cvn"))));
}

TEST_F(VigrelDoc, ListOrderIsTheOrderOfAddingForAnyNumberOfTasks)
{
    CVigrelDoc doc;
    QList<int> expected;
    for (int i = 0; i < 300; ++i)
        expected << doc.AddTask(Named(QString::number(i + 1)));
    EXPECT_EQ(Ids(doc.GetTasks()), expected);

    // Replacing a task keeps its place; a deleted id leaves the others in order.
    ASSERT_TRUE(doc.ModifyTask(20, Named(QStringLiteral("changed"))));
    doc.DeleteTask(31);
    expected.removeOne(31);
    EXPECT_EQ(Ids(doc.GetTasks()), expected);
    EXPECT_EQ(doc.GetTasks().at(19).m_Name, u"changed");

    QList<CTask> tasks(273);
    for (qsizetype i = 0; i < tasks.size(); ++i)
        tasks[i].m_Name = QString::number(i);
    QString error;
    ASSERT_TRUE(WriteTaskFile(Path(QStringLiteral("many.cvn")), tasks, &error));
    CVigrelDoc many;
    ASSERT_TRUE(many.OnOpenDocument(Path(QStringLiteral("many.cvn"))));
    EXPECT_EQ(Names(many.GetTasks()), Names(tasks));
}

TEST_F(VigrelDoc, SavedSectionsAreNumberedNotIds)
{
    CVigrelDoc doc;
    for (int i = 0; i < 6; ++i)
        doc.AddTask(Named(QStringLiteral("t%1").arg(i + 1)));
    doc.DeleteTask(2);
    doc.DeleteTask(3);
    doc.DeleteTask(4);
    ASSERT_TRUE(doc.OnSaveDocument(Path(QStringLiteral("gaps.cvn"))));
    const QByteArray bytes = ReadBytes(Path(QStringLiteral("gaps.cvn")));
    EXPECT_TRUE(bytes.contains("[Task 2]\r\n"));
    EXPECT_FALSE(bytes.contains("[Task 3]"));
    CVigrelDoc reopened;
    ASSERT_TRUE(reopened.OnOpenDocument(Path(QStringLiteral("gaps.cvn"))));
    EXPECT_EQ(Ids(reopened.GetTasks()), (QList<int> {0, 1, 2}));
    EXPECT_EQ(Names(reopened.GetTasks()),
              (QStringList {QStringLiteral("t1"), QStringLiteral("t5"), QStringLiteral("t6")}));
}

TEST_F(VigrelDoc, ModifiedFlagFollowsEditsNotRuns)
{
    CVigrelDoc doc;
    QSignalSpy modified(&doc, &CVigrelDoc::ModifiedChanged);
    EXPECT_FALSE(doc.IsModified());
    const int id = doc.AddTask(Named(QStringLiteral("a")));
    EXPECT_TRUE(doc.IsModified());
    ASSERT_TRUE(doc.OnSaveDocument(Path(QStringLiteral("m.cvn"))));
    EXPECT_FALSE(doc.IsModified());
    EXPECT_EQ(modified.count(), 2);

    doc.SetTaskLastRunTime(id);
    doc.UpdateTaskFailCount(id, true, false);
    EXPECT_FALSE(doc.IsModified()) << "running a task does not make the document modified";

    doc.DeleteTask(999);
    EXPECT_TRUE(doc.IsModified()) << "deleting an id that is not there still marks the document";
}

TEST_F(VigrelDoc, RunTimeUpdatesOfTasksThatAreGoneChangeNothing)
{
    SetClockForTesting([] { return qint64(1700000500); });
    CVigrelDoc doc;
    const int id = doc.AddTask(Named(QStringLiteral("a")));
    doc.UpdateTaskFailCount(id, true, false);
    doc.UpdateTaskFailCount(id, true, false);
    doc.UpdateTaskFailCount(id, false, false); // neither: unchanged
    doc.SetTaskLastRunTime(id);
    CTask task;
    ASSERT_TRUE(doc.GetTask(id, task));
    EXPECT_EQ(task.m_FailCount, 2);
    EXPECT_EQ(task.m_LastRunTime, 1700000500);
    doc.UpdateTaskFailCount(id, false, true);
    ASSERT_TRUE(doc.GetTask(id, task));
    EXPECT_EQ(task.m_FailCount, 0);

    doc.UpdateTaskFailCount(77, true, false);
    doc.SetTaskLastRunTime(77);
    EXPECT_FALSE(doc.GetTask(77, task));
    EXPECT_EQ(task.m_TaskId, id) << "a failed look-up leaves the given task alone";
    EXPECT_FALSE(doc.ModifyTask(77, task));
    EXPECT_EQ(doc.GetTaskCount(), 1);
    SetClockForTesting({});
}

TEST_F(VigrelDoc, OpeningReplacesAndFailingToOpenKeepsTheDocument)
{
    CVigrelDoc doc;
    QSignalSpy cleared(&doc, &CVigrelDoc::TasksCleared);
    QSignalSpy added(&doc, &CVigrelDoc::TaskAdded);

    WriteBytes(Path(QStringLiteral("first.cvn")),
               FormatTaskFile({Named(QStringLiteral("f1")), Named(QStringLiteral("f2"))}));
    WriteBytes(Path(QStringLiteral("second.cvn")), FormatTaskFile({Named(QStringLiteral("s1"))}));
    ASSERT_TRUE(doc.OnOpenDocument(Path(QStringLiteral("first.cvn"))));
    ASSERT_TRUE(doc.OnOpenDocument(Path(QStringLiteral("second.cvn"))));
    EXPECT_EQ(Names(doc.GetTasks()), QStringList {QStringLiteral("s1")});
    EXPECT_EQ(cleared.count(), 2);
    ASSERT_EQ(added.count(), 3);
    EXPECT_EQ(added.at(2).at(0).toInt(), 0) << "rows are announced in section order";
    EXPECT_EQ(doc.GetPathName(), Path(QStringLiteral("second.cvn")));

    doc.AddTask(Named(QStringLiteral("unsaved")));
    QString error;
    EXPECT_FALSE(doc.OnOpenDocument(Path(QStringLiteral("missing.cvn")), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(doc.GetTaskCount(), 2) << "a file that cannot be read must not empty the document";
    EXPECT_TRUE(doc.IsModified());

    ASSERT_TRUE(doc.OnNewDocument());
    EXPECT_EQ(doc.GetTaskCount(), 0);
    EXPECT_FALSE(doc.IsModified());
    EXPECT_TRUE(doc.GetPathName().isEmpty());
    EXPECT_EQ(doc.AddTask(CTask()), 1);
}

TEST_F(VigrelDoc, EmptyFileGivesTheFirstNewTaskIdTwo)
{
    WriteBytes(Path(QStringLiteral("empty.cvn")), "");
    CVigrelDoc doc;
    ASSERT_TRUE(doc.OnOpenDocument(Path(QStringLiteral("empty.cvn"))));
    EXPECT_EQ(doc.GetTaskCount(), 0);
    EXPECT_EQ(doc.AddTask(CTask()), 2);
}

TEST_F(VigrelDoc, EngineReadsWhileTheUiChangesTheTable)
{
    CVigrelDoc doc;
    const int stable = doc.AddTask(Named(QStringLiteral("stable")));
    std::atomic<bool> done {false};
    std::atomic<int> bad {0};
    std::thread engine([&] {
        CTask copy;
        while (!done) {
            if (!doc.GetTask(stable, copy) || copy.m_Name != u"stable")
                ++bad;
        }
    });
    for (int i = 0; i < 3000; ++i) {
        const int id = doc.AddTask(Named(QStringLiteral("churn")));
        doc.ModifyTask(id, Named(QStringLiteral("churned")));
        doc.DeleteTask(id);
    }
    done = true;
    engine.join();
    EXPECT_EQ(bad, 0);
}
