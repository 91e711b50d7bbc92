// The settings file of --settings: read as written, written so that it reads back the same,
// and files of older versions (Qt's INI format) still read as they were meant.
#include "core/shell/SettingsFile.h"
#include "core/shell/AppSettings.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"
#include "support/TestFiles.h"

#include <QBuffer>
#include <QSettings>

#include <gtest/gtest.h>

namespace {

QByteArray AllBytes()
{
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes += char(i);
    // Digits after escaped bytes, and the characters Qt's INI format treats specially.
    return bytes
        + QByteArray("\0"
                     "12\x01"
                     "ab;,=\"\\ end ",
                     16);
}

const QStringList kTexts {
    QStringLiteral("a@x.org; b@y.org"),
    QStringLiteral("notify \"two words\" %N"),
    QStringLiteral("\"/opt/my tools/notify\" \"%N\""),
    QStringLiteral("'quoted'"),
    QStringLiteral("  blanks at both ends  "),
    QStringLiteral("one, two, three"),
    QStringLiteral("C:\\logs\\new.log"),
    QStringLiteral("\\\\server\\\\share"),
    QStringLiteral("@home"),
    QStringLiteral("@@twice"),
    QStringLiteral("@ByteArray(not bytes)"),
    QStringLiteral("key=value"),
    QStringLiteral("; not a comment"),
    QStringLiteral("[not a section]"),
    QStringLiteral("two\r\nlines\nand a\rthird"),
    QStringLiteral("été – 東京"),
    QString(),
};

} // namespace

TEST(SettingsFile, AHandWrittenFileIsReadAsWritten)
{
    CTempSettings temp;
    WriteBytes(temp.IniPath(),
               "[options]\n"
               "m_SmtpServerName = 'mail.example.org:25'\n"
               "M_ALERTEMAILADDRESSES = a@x.org; b@y.org\n"
               "m_AlertApplicationName=notify \"two words\" %N\n"
               "m_AlertHttpUrl=http://127.0.0.1/alert?to=a,b&name=%N\n"
               "m_LogFileName=  \"/var/log/my logs/corvane.log \"  \n"
               "m_MaxFailCount = 4\n"
               "m_bLogToFile=1\n"
               "logseverity3=0\n"
               "m_MaxFailCount=9\n");
    temp.Reload();
    const CAppSettings& s = GetAppSettings();
    EXPECT_EQ(s.m_SmtpServerName, u"mail.example.org:25");
    EXPECT_EQ(s.m_AlertEmailAddresses, u"a@x.org; b@y.org");
    EXPECT_EQ(s.m_AlertApplicationName, u"notify \"two words\" %N");
    EXPECT_EQ(s.m_AlertHttpUrl, u"http://127.0.0.1/alert?to=a,b&name=%N");
    EXPECT_EQ(s.m_LogFileName, u"/var/log/my logs/corvane.log ");
    EXPECT_EQ(s.m_MaxFailCount, 4) << "the first of repeated keys wins";
    EXPECT_TRUE(s.m_bLogToFile);
    EXPECT_FALSE(s.IsSeverityShown(3));

    // Saving writes the program's spelling of each name once, and keeps the values.
    SaveAppSettings();
    temp.Reload();
    EXPECT_EQ(GetAppSettings(), s);
    const QByteArray written = ReadBytes(temp.IniPath());
    EXPECT_TRUE(written.startsWith(SettingsFileHeader())) << written.toStdString();
    EXPECT_TRUE(written.contains("\r\nm_AlertEmailAddresses=a@x.org; b@y.org\r\n")) << written.toStdString();
    EXPECT_FALSE(written.contains("M_ALERTEMAILADDRESSES")) << written.toStdString();
    EXPECT_FALSE(written.contains("[options]")) << written.toStdString();
}

TEST(SettingsFile, EveryValueTheProgramStoresReadsBackTheSame)
{
    CTempSettings temp;
    const QByteArray bytes = AllBytes();
    const QStringList list {QStringLiteral("editCut"), QStringLiteral("one, two"), QStringLiteral(" x ")};
    {
        const auto store = OpenSettingsStore();
        for (qsizetype i = 0; i < kTexts.size(); ++i)
            store->setValue(QStringLiteral("Options/Text%1").arg(i), kTexts[i]);
        store->setValue(QStringLiteral("Options/Number"), -42);
        store->setValue(QStringLiteral("Settings/StatusBar"), false);
        store->setValue(QStringLiteral("Settings/Geometry"), bytes);
        store->setValue(QStringLiteral("Settings/Empty"), QByteArray());
        store->setValue(QStringLiteral("Settings/HiddenToolbarButtons"), list);
        store->setValue(QStringLiteral("Settings/NoButtons"), QStringList());
        store->setValue(QStringLiteral("Recent File List/File1"), QStringLiteral("/home/me/my tasks.cvn"));
        store->setValue(QStringLiteral("TopLevel"), QStringLiteral("outside any group"));
        store->beginWriteArray(QStringLiteral("Settings/UserTools"), 2);
        for (int i = 0; i < 2; ++i) {
            store->setArrayIndex(i);
            store->setValue(QStringLiteral("Arguments"), kTexts[i]);
        }
        store->endArray();
    }

    const auto store = OpenSettingsStore();
    EXPECT_EQ(store->status(), QSettings::NoError);
    for (qsizetype i = 0; i < kTexts.size(); ++i)
        EXPECT_EQ(store->value(QStringLiteral("Options/Text%1").arg(i)).toString(), kTexts[i]) << i;
    EXPECT_EQ(store->value(QStringLiteral("Options/Number")).toInt(), -42);
    EXPECT_EQ(store->value(QStringLiteral("Settings/StatusBar"), true).toBool(), false);
    EXPECT_EQ(store->value(QStringLiteral("Settings/Geometry")).toByteArray(), bytes);
    EXPECT_TRUE(store->value(QStringLiteral("Settings/Empty")).toByteArray().isEmpty());
    EXPECT_EQ(store->value(QStringLiteral("Settings/HiddenToolbarButtons")).toStringList(), list);
    EXPECT_TRUE(store->value(QStringLiteral("Settings/NoButtons")).toStringList().isEmpty());
    EXPECT_EQ(store->value(QStringLiteral("Recent File List/File1")).toString(), u"/home/me/my tasks.cvn");
    EXPECT_EQ(store->value(QStringLiteral("TopLevel")).toString(), u"outside any group");
    ASSERT_EQ(store->beginReadArray(QStringLiteral("Settings/UserTools")), 2);
    for (int i = 0; i < 2; ++i) {
        store->setArrayIndex(i);
        EXPECT_EQ(store->value(QStringLiteral("Arguments")).toString(), kTexts[i]);
    }
    store->endArray();

    // Older versions read the file with Qt's INI format: what is not text comes out right.
    QSettings older(temp.IniPath(), QSettings::IniFormat);
    EXPECT_EQ(older.value(QStringLiteral("Settings/Geometry")).toByteArray(), bytes);
    EXPECT_EQ(older.value(QStringLiteral("Settings/HiddenToolbarButtons")).toStringList(), list);
    EXPECT_EQ(older.value(QStringLiteral("Options/Number")).toInt(), -42);
    EXPECT_EQ(older.value(QStringLiteral("Options/Text0")).toString(), kTexts[0]);
}

TEST(SettingsFile, FilesOfOlderVersionsReadAsTheyWereMeant)
{
    CTempSettings temp;
    const QByteArray geometry = AllBytes();
    CAppSettings expected = GetAppSettings();
    expected.m_SmtpServerName = QStringLiteral("@mail.example.org");
    expected.m_AlertEmailAddresses = QStringLiteral("a@x.org; b@y.org");
    expected.m_AlertApplicationName = QStringLiteral("notify \"two words\" %N");
    expected.m_AlertHttpUrl = QStringLiteral("http://127.0.0.1/alert?to=a,b");
    expected.m_LogFileName = QStringLiteral("C:\\logs\\été.log");
    expected.m_AutoOpenFileName = QStringLiteral("  /home/me/sites.cvn");
    expected.m_MaxMessageNumber = 250;
    expected.m_SeverityShown[3] = false;
    {
        // What the older version wrote: Qt's INI format, with its quotes and escapes.
        QSettings older(temp.IniPath(), QSettings::IniFormat);
        older.beginGroup(QStringLiteral("Options"));
        older.setValue(QStringLiteral("m_SmtpServerName"), expected.m_SmtpServerName);
        older.setValue(QStringLiteral("m_AlertEmailAddresses"), expected.m_AlertEmailAddresses);
        older.setValue(QStringLiteral("m_AlertApplicationName"), expected.m_AlertApplicationName);
        older.setValue(QStringLiteral("m_AlertHttpUrl"), expected.m_AlertHttpUrl);
        older.setValue(QStringLiteral("m_LogFileName"), expected.m_LogFileName);
        older.setValue(QStringLiteral("m_AutoOpenFileName"), expected.m_AutoOpenFileName);
        older.setValue(QStringLiteral("m_MaxMessageNumber"), 250);
        older.setValue(QStringLiteral("LogSeverity3"), 0);
        older.endGroup();
        older.setValue(QStringLiteral("Settings/Geometry"), geometry);
        older.setValue(QStringLiteral("Recent File List/File1"), QStringLiteral("/home/me/my tasks.cvn"));
    }
    temp.Reload();
    EXPECT_EQ(GetAppSettings(), expected);
    {
        const auto store = OpenSettingsStore();
        EXPECT_EQ(store->value(QStringLiteral("Settings/Geometry")).toByteArray(), geometry);
        EXPECT_EQ(store->value(QStringLiteral("Recent File List/File1")).toString(), u"/home/me/my tasks.cvn");
    }

    // Written again in the new format, everything stays.
    SaveAppSettings();
    EXPECT_TRUE(ReadBytes(temp.IniPath()).startsWith(SettingsFileHeader()));
    temp.Reload();
    EXPECT_EQ(GetAppSettings(), expected);
    const auto store = OpenSettingsStore();
    EXPECT_EQ(store->value(QStringLiteral("Settings/Geometry")).toByteArray(), geometry);
    EXPECT_EQ(store->value(QStringLiteral("Recent File List/File1")).toString(), u"/home/me/my tasks.cvn");
}

TEST(SettingsFile, DamagedListsStayTextInsteadOfClaimingBillionsOfItems)
{
    // After the header, a string list (type 11) and a list holding one (type 9) whose counts claim
    // 2^31 - 1 items in four bytes: reading them as lists would reserve gigabytes first.
    QByteArray file = SettingsFileHeader()
        + "\r\n[Settings]\r\nButtons=@Variant(\\0\\0\\0\\v\\x7f\\xff\\xff\\xff)\r\n"
          "Nested=@Variant(\\0\\0\\0\\t\\0\\0\\0\\x1\\0\\0\\0\\v\\x7f\\xff\\xff\\xff)\r\n";
    QBuffer buffer(&file);
    ASSERT_TRUE(buffer.open(QIODevice::ReadOnly));
    QSettings::SettingsMap map;
    ASSERT_TRUE(ReadSettingsFile(buffer, map));
    EXPECT_EQ(map.value(QStringLiteral("Settings/Buttons")).typeId(), QMetaType::QString);
    EXPECT_EQ(map.value(QStringLiteral("Settings/Nested")).typeId(), QMetaType::QString);
}
