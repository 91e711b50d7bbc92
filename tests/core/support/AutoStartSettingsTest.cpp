#include "core/shell/AppSettings.h"
#include "core/support/AutoStart.h"
#include "support/TempSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QByteArray ReadEntry()
{
    QFile file(CAutoStartKey::GetAutoStartFilePath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

// A program run with --settings must come back at login with the same settings file, or it
// starts on the user's defaults with none of the choices that asked for the autostart.
class AutoStartSettings : public ::testing::Test
{
protected:
    void SetUp() override { qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_ConfigHome.path())); }
    void TearDown() override
    {
        if (m_Previous.isNull())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", m_Previous);
    }

    QByteArray m_Previous = qEnvironmentVariableIsSet("XDG_CONFIG_HOME") ? qgetenv("XDG_CONFIG_HOME") : QByteArray();
    QTemporaryDir m_ConfigHome;
};

} // namespace

TEST_F(AutoStartSettings, EntryStartsTheProgramWithItsSettingsFile)
{
    CTempSettings settings;
    CAutoStartKey key;
    key.SetArguments({QStringLiteral("/srv/tasks.cvn"), QStringLiteral("-minimize")});
    ASSERT_TRUE(key.Register());
    const QByteArray expected = "\nExec=" + QFile::encodeName(QCoreApplication::applicationFilePath()) + " --settings "
        + QFile::encodeName(settings.IniPath()) + " /srv/tasks.cvn -minimize\n";
    EXPECT_TRUE(ReadEntry().contains(expected)) << ReadEntry().toStdString();
}

TEST_F(AutoStartSettings, RelativeSettingsFileIsWrittenAbsoluteAndTheUsersStoreNeedsNone)
{
    const QString previous = GetSettingsFile();
    SetSettingsFile(QStringLiteral("conf/corvane.ini"));
    const CAutoStartKey relative;
    SetSettingsFile(QString());
    const CAutoStartKey usersStore;
    SetSettingsFile(previous);

    // The login start runs in another working folder.
    EXPECT_EQ(relative.GetCommandArguments(),
              QStringList({QStringLiteral("--settings"), QDir::current().absoluteFilePath("conf/corvane.ini")}));
    EXPECT_TRUE(usersStore.GetCommandArguments().isEmpty());
}
