#include "OptionsTestHelpers.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"
#include "ui/options/OptionsSheet.h"
#include "ui/options/PageWidgets.h"

#include <QAbstractButton>
#include <QLabel>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QToolButton>

#include <gtest/gtest.h>

namespace {

class OptionPages : public ::testing::Test
{
protected:
    // Shows a page in front and with the keyboard, as a user sees it.
    void Open(int page)
    {
        m_Sheet.show();
        m_Sheet.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&m_Sheet));
        m_Sheet.GetTabs()->setCurrentIndex(page);
    }
    template<class T = QWidget> T* Control(const char* name) const { return FindControl<T>(&m_Sheet, name); }
    QCheckBox* Box(const char* name) const { return Control<QCheckBox>(name); }

    // What Tab visits from `first` on, until it comes back round.
    QStringList TabOrderFrom(const char* first) const
    {
        Control(first)->setFocus(Qt::TabFocusReason);
        QStringList names;
        for (QWidget* focus = QApplication::focusWidget(); focus && names.size() < 30;) {
            const auto* button = qobject_cast<const QAbstractButton*>(focus);
            names << (focus->objectName().isEmpty() && button ? QString(button->text()).remove(QLatin1Char('&'))
                                                              : focus->objectName());
            QTest::keyClick(focus, Qt::Key_Tab);
            focus = QApplication::focusWidget();
            if (focus == Control(first))
                break;
        }
        return names;
    }

    // Picks `path` in the next file dialog and returns the dialog's filters.
    QStringList Browse(const char* button, const QString& path)
    {
        QStringList filters;
        bool asked = false;
        SetFileBrowserForTesting([&](QWidget*, const CFileRequest& request) {
            asked = true;
            filters = request.m_Filters;
            return path;
        });
        Control<QToolButton>(button)->click();
        SetFileBrowserForTesting({});
        EXPECT_TRUE(asked);
        return filters;
    }

    CTempSettings m_Settings;
    CTempConfigHome m_ConfigHome;
    QTemporaryDir m_Dir;
    COptionsSheet m_Sheet {nullptr, nullptr};
};

TEST_F(OptionPages, FieldsAreEnabledOnlyWithTheirBoxes)
{
    const std::pair<const char*, std::vector<const char*>> rules[] = {
        {"AlertAboutFailuresOnly", {"MaxFailCount"}},
        {"SendEmail", {"AlertEmailAddresses"}},
        {"SendHttp", {"AlertHttpUrl", "HttpRequest"}},
        {"RunApplication", {"AlertApplicationName", "BrowseApplication"}},
        {"LimitMessageNumber", {"MaxMessageNumber"}},
        {"LogToFile", {"LogFileName", "BrowseLogFile"}},
    };
    for (const auto& [box, fields] : rules) {
        for (bool checked : {true, false}) {
            SetChecked(Box(box), checked);
            for (const char* field : fields)
                EXPECT_EQ(Control(field)->isEnabled(), checked) << box << " " << field;
        }
    }

    // "Open task file" needs "Start with the system"; the file controls need both.
    auto fileControls = [this] {
        return Control("AutoOpenFileName")->isEnabled() && Control("BrowseTaskFile")->isEnabled();
    };
    EXPECT_FALSE(Box("AutoOpenTasks")->isEnabled());
    SetChecked(Box("AutoStart"), true);
    EXPECT_TRUE(Box("AutoOpenTasks")->isEnabled());
    EXPECT_FALSE(fileControls());
    SetChecked(Box("AutoOpenTasks"), true);
    EXPECT_TRUE(fileControls());
    SetChecked(Box("AutoStart"), false);
    EXPECT_FALSE(Box("AutoOpenTasks")->isEnabled());
    EXPECT_FALSE(Control("AutoOpenFileName")->isEnabled());
    EXPECT_FALSE(Box("AnimateIcon")->isEnabled());
}

TEST_F(OptionPages, KeyboardReachesEveryControl)
{
    for (const char* box : {"AutoStart", "AutoOpenTasks", "SendEmail", "SendHttp", "RunApplication",
                            "AlertAboutFailuresOnly", "LimitMessageNumber", "LogToFile"})
        SetChecked(Box(box), true);
    const QStringList after {"OK", "Cancel", "qt_tabwidget_tabbar"};
    Open(0);
    // The password is asked for only with a user name.
    TypeInto(Control<QLineEdit>("SmtpUserName"), QStringLiteral("ann"));
    EXPECT_EQ(TabOrderFrom("SmtpServerName"),
              QStringList({"SmtpServerName", "SmtpPort", "SmtpSecurity", "SmtpUserName", "SmtpPassword",
                           "SmtpFromAddress", "SmtpPasswordFile", "BrowsePasswordFile", "TlsCaFile", "BrowseTlsCaFile",
                           "SendTestMail", "MinimizeToTray", "DesktopNotifications", "AutoStart", "AutoOpenTasks",
                           "AutoOpenFileName", "BrowseTaskFile", "SpiderConnections"})
                  + after);
    const std::pair<Qt::Key, const char*> generalFields[] = {
        {Qt::Key_R, "SmtpPort"},     {Qt::Key_Y, "SmtpSecurity"},      {Qt::Key_U, "SmtpUserName"},
        {Qt::Key_W, "SmtpPassword"}, {Qt::Key_F, "SmtpFromAddress"},   {Qt::Key_L, "SmtpPasswordFile"},
        {Qt::Key_X, "TlsCaFile"},    {Qt::Key_C, "SpiderConnections"},
    };
    for (const auto& [key, name] : generalFields) {
        QTest::keyClick(QApplication::focusWidget(), key, Qt::AltModifier);
        QTest::qWait(50);
        QWidget* focus = QApplication::focusWidget();
        EXPECT_TRUE(focus == Control(name) || (focus && focus->parentWidget() == Control(name))) << name;
    }
    Open(1);
    EXPECT_EQ(TabOrderFrom("AlertAboutFailuresOnly"),
              QStringList({"AlertAboutFailuresOnly", "MaxFailCount", "AlertOnRecovery", "SendEmail",
                           "AlertEmailAddresses", "SendHttp", "AlertHttpUrl", "HttpRequest", "RunApplication",
                           "AlertApplicationName", "BrowseApplication"})
                  + after);
    // Digits only in the counts.
    TypeInto(Control<QLineEdit>("MaxFailCount"), QStringLiteral("1a-2 3"));
    EXPECT_EQ(Control<QLineEdit>("MaxFailCount")->text(), QStringLiteral("123"));
    Open(2);
    EXPECT_EQ(TabOrderFrom("SeverityShown"),
              QStringList({"SeverityShown", "LimitMessageNumber", "MaxMessageNumber", "LogToFile", "LogFileName",
                           "BrowseLogFile"})
                  + after);
    Open(3);
    Control<QRadioButton>("HistoryServer")->click();
    EXPECT_EQ(TabOrderFrom("HistoryEnabled"),
              QStringList({"HistoryEnabled", "HistoryServer", "HistoryHost", "HistoryPort", "HistoryDatabaseName",
                           "HistoryUser", "HistoryTestConnection", "HistoryRetentionDays", "HistoryClear",
                           "MetricsListen", "MetricsAllowRemote"})
                  + after);
    // The arrow keys move between the two databases.
    Control("HistoryServer")->setFocus(Qt::TabFocusReason);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up);
    EXPECT_TRUE(Control<QRadioButton>("HistoryThisComputer")->isChecked());
    EXPECT_EQ(TabOrderFrom("HistoryEnabled").value(1), u"HistoryThisComputer");

    // Mnemonics toggle their boxes on the page in front.
    const std::pair<int, std::vector<std::pair<Qt::Key, const char*>>> mnemonics[] = {
        {0, {{Qt::Key_M, "MinimizeToTray"}, {Qt::Key_O, "AutoOpenTasks"}, {Qt::Key_S, "AutoStart"}}},
        {1,
         {{Qt::Key_A, "AlertAboutFailuresOnly"},
          {Qt::Key_S, "SendEmail"},
          {Qt::Key_G, "SendHttp"},
          {Qt::Key_E, "RunApplication"},
          {Qt::Key_R, "AlertOnRecovery"}}},
        {2, {{Qt::Key_N, "LimitMessageNumber"}, {Qt::Key_A, "LogToFile"}}},
        {3, {{Qt::Key_K, "HistoryEnabled"}, {Qt::Key_R, "MetricsAllowRemote"}}},
    };
    for (const auto& [page, keys] : mnemonics) {
        Open(page);
        for (const auto& [key, box] : keys) {
            const bool before = Box(box)->isChecked();
            QTest::keyClick(QApplication::focusWidget(), key, Qt::AltModifier);
            QTest::qWait(200); // a mnemonic clicks with a short animation
            EXPECT_NE(Box(box)->isChecked(), before) << box;
        }
    }
    // On the History page they choose the database and reach the fields.
    Open(3);
    SetChecked(Box("HistoryEnabled"), true);
    const std::pair<Qt::Key, const char*> reached[] = {
        {Qt::Key_P, "HistoryServer"},       {Qt::Key_H, "HistoryHost"}, {Qt::Key_O, "HistoryPort"},
        {Qt::Key_D, "HistoryDatabaseName"}, {Qt::Key_U, "HistoryUser"}, {Qt::Key_F, "HistoryRetentionDays"},
        {Qt::Key_T, "HistoryThisComputer"},
    };
    for (const auto& [key, name] : reached) {
        QTest::keyClick(QApplication::focusWidget(), key, Qt::AltModifier);
        QTest::qWait(200);
        QWidget* focus = QApplication::focusWidget();
        EXPECT_TRUE(focus == Control(name) || (focus && focus->parentWidget() == Control(name))) << name;
    }
    EXPECT_TRUE(Control<QRadioButton>("HistoryThisComputer")->isChecked());

    // Labels without a mnemonic still name their field for screen readers.
    for (QLabel* label : m_Sheet.findChildren<QLabel*>()) {
        if (label->text().endsWith(QLatin1Char(':')) && !label->text().startsWith(QStringLiteral("Choose"))) {
            EXPECT_NE(label->buddy(), nullptr) << label->text().toStdString();
        }
    }
}

TEST_F(OptionPages, BrowseButtonsFillTheirFields)
{
    const QString taskFile = m_Dir.filePath(QStringLiteral("my sites.cvn"));
    const QString program = m_Dir.filePath(QStringLiteral("alert tool"));
    const QString logFile = m_Dir.filePath(QStringLiteral("old.log"));
    for (const QString& path : {taskFile, program, logFile})
        ASSERT_TRUE(QFile(path).open(QIODevice::WriteOnly));
    for (const char* box : {"AutoStart", "AutoOpenTasks", "RunApplication", "LogToFile"})
        SetChecked(Box(box), true);

    Open(0);
    EXPECT_EQ(Browse("BrowseTaskFile", taskFile), QStringList({"Corvane Files (*.cvn)", "All files (*)"}));
    EXPECT_EQ(Control<QLineEdit>("AutoOpenFileName")->text(), taskFile);

    // The field is split into program and arguments before it runs: blanks need quotes.
    Open(1);
    Browse("BrowseApplication", program);
    EXPECT_EQ(Control<QLineEdit>("AlertApplicationName")->text(), QLatin1Char('"') + program + QLatin1Char('"'));

    // A log file is appended to, so picking an existing one asks nothing about replacing it.
    Open(2);
    EXPECT_EQ(Browse("BrowseLogFile", logFile),
              QStringList({"Text files (*.txt)", "Log files (*.log)", "All files (*)"}));
    EXPECT_EQ(Control<QLineEdit>("LogFileName")->text(), logFile);
}

} // namespace
