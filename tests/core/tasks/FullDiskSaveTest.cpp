// Saving a task file onto a disk that is really full: a tiny tmpfs mounted in a private
// mount namespace, so nothing outside this test sees it. That needs root (or the right to
// make such a namespace); otherwise the test is skipped with the reason.
#include "core/tasks/TaskFile.h"
#include "core/tasks/VigrelDoc.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const char* const kFullDiskVariable = "CORVANE_TEST_FULL_DISK";
constexpr int kCannotMount = 77;

// Inside the namespace: fills `folder` until no more than about `room` bytes are left.
bool FillUntil(const QString& folder, qint64 room)
{
    QFile filler(QDir(folder).filePath(QStringLiteral("filler")));
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray block(1024, 'x');
    while (filler.write(block) == block.size()) { }
    // The disk is full now: give back what the save may use.
    return filler.resize(qMax<qint64>(0, filler.size() - room));
}

QList<CTask> ManyTasks(int count)
{
    QList<CTask> tasks(count);
    for (int i = 0; i < count; ++i) {
        tasks[i].m_Name = QStringLiteral("Task number %1 with a name long enough to fill space").arg(i);
        tasks[i].m_HttpGetURL = QStringLiteral("http://127.0.0.1/page/%1").arg(i);
    }
    return tasks;
}

// The checks, run where `folder` is the small disk.
void CheckFullDiskSave(const QString& folder)
{
    const QString path = QDir(folder).filePath(QStringLiteral("tasks.cvn"));
    QString error;
    ASSERT_TRUE(WriteTaskFile(path, ManyTasks(1), &error)) << error.toStdString();
    const QByteArray before = ReadBytes(path);

    CVigrelDoc doc;
    ASSERT_TRUE(doc.OnOpenDocument(path, &error)) << error.toStdString();
    for (const CTask& task : ManyTasks(200)) // about 200 KB: more than the disk holds
        doc.AddTask(task);

    // Room for part of the file: the write stops part-way, the way a nearly full disk
    // behaves. Then no room at all: the first write fails.
    for (const qint64 room : {qint64(8 * 1024), qint64(0)}) {
        ASSERT_TRUE(FillUntil(folder, room));
        EXPECT_FALSE(doc.OnSaveDocument(path, &error)) << "room " << room;
        EXPECT_TRUE(error.contains(QDir::toNativeSeparators(path))) << error.toStdString();
        EXPECT_TRUE(error.contains(u"No space left on device")) << error.toStdString();
        EXPECT_TRUE(doc.IsModified());
        EXPECT_EQ(ReadBytes(path), before) << "the old file stays as it was";
        EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden),
                  (QStringList {QStringLiteral("filler"), QStringLiteral("tasks.cvn")}))
            << "no temporary file is left behind";
        QFile::remove(QDir(folder).filePath(QStringLiteral("filler")));
    }
}

} // namespace

TEST(FullDiskSave, ReportsNoSpaceLeftAndKeepsTheOldFile)
{
    CTempSettings settings;
    if (const QByteArray folder = qgetenv(kFullDiskVariable); !folder.isEmpty()) {
        CheckFullDiskSave(QString::fromLocal8Bit(folder));
        return;
    }

    const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
    if (unshare.isEmpty())
        GTEST_SKIP() << "unshare(1) is not installed: no private mount namespace for a small disk";
    QTemporaryDir mountPoint;
    ASSERT_TRUE(mountPoint.isValid());
    // This same test, again, in a namespace of its own with a 64 KB tmpfs on mountPoint.
    const QString script = QStringLiteral("mount -t tmpfs -o size=64k corvane-full \"$0\" || exit %1; "
                                          "exec \"$1\" --gtest_filter=FullDiskSave.*")
                               .arg(kCannotMount);
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kFullDiskVariable), mountPoint.path());
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(unshare,
                {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
                 QStringLiteral("sh"), QStringLiteral("-c"), script, mountPoint.path(),
                 QCoreApplication::applicationFilePath()});
    ASSERT_TRUE(child.waitForStarted());
    ASSERT_TRUE(child.waitForFinished(120000));
    const QString output = QString::fromLocal8Bit(child.readAll());
    if (child.exitCode() == kCannotMount || output.contains(u"unshare failed") || output.contains(u"unshare: unshare"))
        GTEST_SKIP() << "cannot mount a small disk in a private namespace (needs root): " << output.toStdString();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains(u"[  PASSED  ] 1 test")) << output.toStdString();
}
