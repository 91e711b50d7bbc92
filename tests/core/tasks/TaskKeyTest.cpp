// Stable task keys: what the result history knows a task by, across opens, saves, copies
// and files that were written by older versions or edited by hand.
#include "core/tasks/TaskKey.h"
#include "core/tasks/TaskFile.h"
#include "core/tasks/VigrelDoc.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

namespace {

CTask Named(const QString& name)
{
    CTask task;
    task.m_Name = name;
    return task;
}

QStringList Keys(const CVigrelDoc& doc)
{
    QStringList keys;
    for (const CTask& task : doc.GetTasks())
        keys << task.m_TaskGuid;
    return keys;
}

// Every key a UUID of its written form, no two alike.
void ExpectDistinctKeys(const QStringList& keys)
{
    for (const QString& key : keys) {
        EXPECT_FALSE(QUuid::fromString(key).isNull()) << key.toStdString();
        EXPECT_EQ(NormalizeTaskKey(key), key);
    }
    EXPECT_EQ(QSet<QString>(keys.begin(), keys.end()).size(), keys.size()) << keys.join(u' ').toStdString();
}

class TaskKey : public ::testing::Test
{
protected:
    QString Path(const QString& name) const { return m_Dir.filePath(name); }

    QStringList OpenKeys(const QString& path)
    {
        CVigrelDoc doc;
        EXPECT_TRUE(doc.OnOpenDocument(path));
        return Keys(doc);
    }

    CTempSettings m_Settings;
    QTemporaryDir m_Dir;
};

} // namespace

TEST_F(TaskKey, KeysSurviveSaveAndOpen)
{
    CVigrelDoc doc;
    doc.AddTask(Named(QStringLiteral("one")));
    doc.AddTask(Named(QStringLiteral("two")));
    const QStringList keys = Keys(doc);
    ExpectDistinctKeys(keys);
    ASSERT_TRUE(doc.OnSaveDocument(Path(QStringLiteral("t.cvn"))));

    CVigrelDoc reopened;
    ASSERT_TRUE(reopened.OnOpenDocument(Path(QStringLiteral("t.cvn"))));
    EXPECT_EQ(Keys(reopened), keys);
    EXPECT_FALSE(reopened.IsModified()) << "a file whose tasks all have keys opens unchanged";
}

TEST_F(TaskKey, AFileWithoutKeysGivesTheSameKeysAtEveryOpenUntilTheDesktopSavesThem)
{
    // Two tasks of one name and a third: what an older version wrote.
    const QByteArray bytes
        = FormatTaskFile({Named(QStringLiteral("Shop")), Named(QStringLiteral("Shop")), Named(QStringLiteral("Blog"))});
    ASSERT_TRUE(bytes.contains("m_TaskGuid=\r\n"));
    const QString path = Path(QStringLiteral("old.cvn"));
    WriteBytes(path, bytes);

    const QStringList keys = OpenKeys(path);
    ASSERT_EQ(keys.size(), 3);
    ExpectDistinctKeys(keys);
    EXPECT_EQ(OpenKeys(path), keys) << "a program that never saves finds the same keys again";
    ASSERT_TRUE(QDir(m_Dir.path()).mkdir(QStringLiteral("sub")));
    EXPECT_EQ(OpenKeys(Path(QStringLiteral("sub/../old.cvn"))), keys) << "the same file by another name";
    ASSERT_TRUE(QFile::link(path, Path(QStringLiteral("link.cvn"))));
    EXPECT_EQ(OpenKeys(Path(QStringLiteral("link.cvn"))), keys) << "the same file through a link";
    EXPECT_EQ(ReadBytes(path), bytes) << "opening writes nothing";

    // The same content elsewhere is another set of tasks.
    const QString copy = Path(QStringLiteral("copy.cvn"));
    WriteBytes(copy, bytes);
    const QStringList copyKeys = OpenKeys(copy);
    for (const QString& key : copyKeys)
        EXPECT_FALSE(keys.contains(key)) << key.toStdString();

    // The desktop's document is modified, so it asks to save; the save keeps the keys.
    CVigrelDoc doc;
    ASSERT_TRUE(doc.OnOpenDocument(path));
    EXPECT_TRUE(doc.IsModified());
    ASSERT_TRUE(doc.OnSaveDocument(path));
    QList<CTask> saved;
    ASSERT_TRUE(ReadTaskFile(path, saved, nullptr));
    ASSERT_EQ(saved.size(), 3);
    for (qsizetype i = 0; i < saved.size(); ++i)
        EXPECT_EQ(saved[i].m_TaskGuid, keys[i]);
    CVigrelDoc reopened;
    ASSERT_TRUE(reopened.OnOpenDocument(path));
    EXPECT_FALSE(reopened.IsModified());
    EXPECT_EQ(Keys(reopened), keys);
}

TEST_F(TaskKey, KeysEditedByHandNeverShareOrBreakAKey)
{
    const QString shared = QStringLiteral("9b2f4c1e-3a5d-4e6f-8a7b-1c2d3e4f5a6b");
    QList<CTask> tasks {Named(QStringLiteral("A")), Named(QStringLiteral("B")), Named(QStringLiteral("C")),
                        Named(QStringLiteral("D"))};
    tasks[0].m_TaskGuid = shared;
    tasks[1].m_TaskGuid = shared.toUpper(); // the same key, typed differently
    tasks[2].m_TaskGuid = QStringLiteral("not-a-uuid");
    tasks[3].m_TaskGuid = QStringLiteral("00000000-0000-0000-0000-000000000000");
    const QString path = Path(QStringLiteral("edited.cvn"));
    ASSERT_TRUE(WriteTaskFile(path, tasks, nullptr));

    CVigrelDoc doc;
    ASSERT_TRUE(doc.OnOpenDocument(path));
    const QStringList keys = Keys(doc);
    ExpectDistinctKeys(keys);
    EXPECT_EQ(keys.value(0), shared) << "the first holder keeps the key";
    EXPECT_TRUE(doc.IsModified());
    EXPECT_EQ(OpenKeys(path), keys) << "the split is the same at every open";

    // A derived key that a later task holds already is not taken twice.
    QList<CTask> clash {Named(QStringLiteral("X")), Named(QStringLiteral("Y"))};
    WriteBytes(Path(QStringLiteral("clash.cvn")), {}); // so that its path is the canonical one
    clash[1].m_TaskGuid = DeriveTaskKey(Path(QStringLiteral("clash.cvn")), QStringLiteral("X"), 0);
    ASSERT_TRUE(WriteTaskFile(Path(QStringLiteral("clash.cvn")), clash, nullptr));
    const QStringList clashKeys = OpenKeys(Path(QStringLiteral("clash.cvn")));
    ExpectDistinctKeys(clashKeys);
    EXPECT_EQ(clashKeys.value(1), clash[1].m_TaskGuid);
}

TEST_F(TaskKey, CopiesAndEditsKeepOneKeyPerTask)
{
    CVigrelDoc doc;
    const int first = doc.AddTask(Named(QStringLiteral("Shop")));
    CTask copy;
    ASSERT_TRUE(doc.GetTask(first, copy));
    const QString key = copy.m_TaskGuid;
    const int duplicate = doc.AddTask(copy);
    ExpectDistinctKeys(Keys(doc));

    // An edit keeps the key, even when the edited copy lost it or brings another task's.
    CTask edited = copy;
    edited.m_Name = QStringLiteral("Shop front");
    edited.m_TaskGuid.clear();
    ASSERT_TRUE(doc.ModifyTask(first, edited));
    CTask stored;
    ASSERT_TRUE(doc.GetTask(first, stored));
    EXPECT_EQ(stored.m_TaskGuid, key);
    EXPECT_EQ(stored.m_Name, u"Shop front");
    ASSERT_TRUE(doc.ModifyTask(duplicate, copy));
    ExpectDistinctKeys(Keys(doc));
    ASSERT_TRUE(doc.GetTask(first, stored));
    EXPECT_EQ(stored.m_TaskGuid, key);

    // A key that came with the task (pasted from another document) is kept when it is free.
    CTask foreign = Named(QStringLiteral("Foreign"));
    foreign.m_TaskGuid = QStringLiteral("{5E6F7A8B-1C2D-4E3F-9A0B-C1D2E3F4A5B6}");
    const int foreignId = doc.AddTask(foreign);
    ASSERT_TRUE(doc.GetTask(foreignId, stored));
    EXPECT_EQ(stored.m_TaskGuid, u"5e6f7a8b-1c2d-4e3f-9a0b-c1d2e3f4a5b6");
}
