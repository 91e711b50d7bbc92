#include "core/support/AutoStart.h"
#include "core/shell/AppSettings.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// XDG_CONFIG_HOME points at a fresh folder, so no test touches the real autostart folder.
class AutoStart : public ::testing::Test
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

    QString EntryPath() const { return m_ConfigHome.filePath(QStringLiteral("autostart/corvane.desktop")); }
    QByteArray ReadEntry() const
    {
        QFile file(EntryPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
    }
    static QByteArray Entry(const QByteArray& exec)
    {
        return "[Desktop Entry]\nType=Application\nName=Corvane\nComment=Starts Corvane when you log in\nExec=" + exec
            + "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
    }

    QByteArray m_Previous = qEnvironmentVariableIsSet("XDG_CONFIG_HOME") ? qgetenv("XDG_CONFIG_HOME") : QByteArray();
    QTemporaryDir m_ConfigHome;
};

TEST_F(AutoStart, EntryLivesUnderXdgConfigHomeElseHomeConfig)
{
    EXPECT_EQ(CAutoStartKey::GetAutoStartFilePath(), EntryPath());
    // The base directory rules ignore an empty or relative XDG_CONFIG_HOME. Nothing is written here.
    const QString homeEntry = QDir::homePath() + QStringLiteral("/.config/autostart/corvane.desktop");
    for (const char* value : {"", "relative/config"}) {
        qputenv("XDG_CONFIG_HOME", value);
        EXPECT_EQ(CAutoStartKey::GetAutoStartFilePath(), homeEntry) << value;
    }
    qunsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(CAutoStartKey::GetAutoStartFilePath(), homeEntry);
}

TEST_F(AutoStart, ExecLineKeepsEveryArgumentWhole)
{
    CAutoStartKey key(QStringLiteral("/opt/Corvane App/corvane"));
    key.SetArguments({QStringLiteral("/home/ann/My Tasks/site checks.cvn"), QStringLiteral("-minimize")});
    ASSERT_TRUE(key.Register());
    EXPECT_EQ(ReadEntry(), Entry("\"/opt/Corvane App/corvane\" \"/home/ann/My Tasks/site checks.cvn\" -minimize"));

    CAutoStartKey plain(QStringLiteral("/usr/bin/corvane"));
    ASSERT_TRUE(plain.Register()); // replaces the entry
    EXPECT_EQ(ReadEntry(), Entry("/usr/bin/corvane"));

    // Inside quotes ", `, $ and \ take a backslash, then the string-value rules double every
    // backslash; % is doubled everywhere, as it would start a field code; empty stays one argument.
    plain.SetArguments({QStringLiteral("/d/100%/a\"b`c$d\\e.cvn"), QStringLiteral("50%"), QString()});
    ASSERT_TRUE(plain.Register());
    EXPECT_EQ(ReadEntry(), Entry("/usr/bin/corvane \"/d/100%%/a\\\\\"b\\\\`c\\\\$d\\\\\\\\e.cvn\" 50%% \"\""));
}

TEST_F(AutoStart, RegisterAndUnregister)
{
    const CAutoStartKey key(QStringLiteral("/usr/bin/corvane"));
    EXPECT_TRUE(key.Unregister()); // nothing there is no failure
    ASSERT_TRUE(key.Register()); // makes the autostart folder too
    EXPECT_TRUE(CAutoStartKey::IsRegistered());
    EXPECT_TRUE(key.Unregister());
    EXPECT_FALSE(QFile::exists(EntryPath()));
    EXPECT_FALSE(CAutoStartKey::IsRegistered());

    // A file where the autostart folder belongs.
    ASSERT_TRUE(QDir(m_ConfigHome.filePath(QStringLiteral("autostart"))).removeRecursively());
    QFile blocker(m_ConfigHome.filePath(QStringLiteral("autostart")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    EXPECT_FALSE(key.Register());
}

// A program run with --settings must come back at login with the same settings file, or it
// starts on the user's defaults with none of the choices that asked for the autostart.
TEST_F(AutoStart, EntryStartsTheProgramWithItsSettingsFile)
{
    CTempSettings settings;
    CAutoStartKey key;
    key.SetArguments({QStringLiteral("/srv/tasks.cvn"), QStringLiteral("-minimize")});
    ASSERT_TRUE(key.Register());
    const QByteArray expected = "\nExec=" + QFile::encodeName(QCoreApplication::applicationFilePath()) + " --settings "
        + QFile::encodeName(settings.IniPath()) + " /srv/tasks.cvn -minimize\n";
    EXPECT_TRUE(ReadEntry().contains(expected)) << ReadEntry().toStdString();
}

TEST_F(AutoStart, RelativeSettingsFileIsWrittenAbsoluteAndTheUsersStoreNeedsNone)
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

} // namespace
