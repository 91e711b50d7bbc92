#include "SheetFixture.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>

class AlertsPageTest : public SheetTest
{
protected:
    void OpenOnAlerts(const CTask& task)
    {
        Open(task);
        ClickTab(CTaskConfigSheet::eAlertsPage);
        ASSERT_EQ(Page(), CTaskConfigSheet::eAlertsPage);
    }

    static CTask Custom()
    {
        CTask task;
        CAlertSettings& alerts = task.m_AlertSettings;
        alerts.m_bUseDefaultAlertMethods = false;
        alerts.m_AlertMethods = eAlertEmail | eAlertHttpGet;
        alerts.m_AlertEmailAddresses = QStringLiteral("ops@example.com");
        alerts.m_AlertHttpUrl = QStringLiteral("http://hooks.example.com/?t=%N");
        alerts.m_AlertApplicationName = QStringLiteral("notify %E");
        task.m_bAlertAboutFailuresOnly = false;
        task.m_MaxFailCount = 2;
        return task;
    }
};

TEST_F(AlertsPageTest, NewTaskTakesTheApplicationDefaults)
{
    CAppSettings defaults = GetAppSettings();
    defaults.m_AlertMethods = eAlertApplication;
    defaults.m_AlertApplicationName = QStringLiteral("pager");
    defaults.m_MaxFailCount = 4;
    defaults.m_bAlertAboutFailuresOnly = false;
    SetAppSettings(defaults);

    OpenOnAlerts(CTask());
    EXPECT_TRUE(Find<QRadioButton>("useDefault")->isChecked());
    EXPECT_TRUE(Find<QCheckBox>("application")->isChecked());
    EXPECT_FALSE(Find<QCheckBox>("email")->isChecked());
    EXPECT_EQ(Find<QLineEdit>("applicationName")->text(), "pager");
    EXPECT_EQ(Find<QLineEdit>("maxFailCount")->text(), "4");
    EXPECT_FALSE(Find<QCheckBox>("failuresOnly")->isChecked());
}

TEST_F(AlertsPageTest, SwitchingToDefaultAndBackKeepsTheCustomValues)
{
    OpenOnAlerts(Custom());
    EXPECT_TRUE(Find<QLineEdit>("emailAddresses")->isEnabled());
    EXPECT_TRUE(Find<QLineEdit>("alertHttpUrl")->isEnabled());
    EXPECT_FALSE(Find<QLineEdit>("applicationName")->isEnabled());
    EXPECT_FALSE(Find<QWidget>("browse")->isEnabled());

    Click("useDefault");
    for (const char* name : {"failuresOnly", "maxFailCount", "email", "emailAddresses", "alertHttpGet", "alertHttpUrl",
                             "application", "applicationName", "browse"})
        EXPECT_FALSE(Find<QWidget>(name)->isEnabled()) << name;
    Click("useCustom");
    EXPECT_TRUE(Find<QCheckBox>("email")->isChecked());
    EXPECT_TRUE(Find<QCheckBox>("alertHttpGet")->isChecked());
    EXPECT_FALSE(Find<QCheckBox>("application")->isChecked());
    EXPECT_EQ(Find<QLineEdit>("emailAddresses")->text(), "ops@example.com");
    EXPECT_EQ(Find<QLineEdit>("alertHttpUrl")->text(), "http://hooks.example.com/?t=%N");
    EXPECT_EQ(Find<QLineEdit>("maxFailCount")->text(), "2");
    EXPECT_TRUE(Find<QLineEdit>("emailAddresses")->isEnabled());

    // Saved with the default settings chosen, the task still holds its own.
    Click("useDefault");
    const CTask saved = Confirmed();
    const CAlertSettings& alerts = saved.m_AlertSettings;
    EXPECT_TRUE(alerts.m_bUseDefaultAlertMethods);
    EXPECT_EQ(alerts.m_AlertMethods, eAlertEmail | eAlertHttpGet);
    EXPECT_EQ(alerts.m_AlertEmailAddresses, "ops@example.com");
    EXPECT_EQ(alerts.m_AlertHttpUrl, "http://hooks.example.com/?t=%N");
    EXPECT_EQ(alerts.m_AlertApplicationName, "notify %E");
    EXPECT_FALSE(saved.m_bAlertAboutFailuresOnly);
    EXPECT_EQ(saved.m_MaxFailCount, 2);
}

TEST_F(AlertsPageTest, MethodBoxesGiveTheBitsAndEnableTheirDestinations)
{
    OpenOnAlerts(Custom());
    Click("email");
    EXPECT_FALSE(Find<QLineEdit>("emailAddresses")->isEnabled());
    Click("application");
    EXPECT_TRUE(Find<QLineEdit>("applicationName")->isEnabled());
    EXPECT_TRUE(Find<QWidget>("browse")->isEnabled());
    // The failure count follows its box, as on the default alert page; the value it holds
    // while disabled is still saved.
    EXPECT_FALSE(Find<QLineEdit>("maxFailCount")->isEnabled());
    Click("failuresOnly");
    EXPECT_TRUE(Find<QLineEdit>("maxFailCount")->isEnabled());
    Type(Find<QLineEdit>("maxFailCount"), QString());
    Click("failuresOnly");
    EXPECT_FALSE(Find<QLineEdit>("maxFailCount")->isEnabled());
    const CTask saved = Confirmed();
    EXPECT_EQ(saved.m_AlertSettings.m_AlertMethods, eAlertHttpGet | eAlertApplication);
    EXPECT_FALSE(saved.m_AlertSettings.m_bUseDefaultAlertMethods);
    EXPECT_EQ(saved.m_MaxFailCount, 0);
}

TEST_F(AlertsPageTest, BrowseReplacesTheApplicationKeepingAPathWithBlanksOneWord)
{
    CTask task = Custom();
    task.m_AlertSettings.m_AlertMethods = eAlertApplication;
    OpenOnAlerts(task);
    QString offered;
    SetApplicationChooserForTesting([&](const QString& current) {
        offered = current;
        return QStringLiteral("/opt/alert tools/notify");
    });
    Click("browse");
    EXPECT_EQ(offered, "notify %E");
    EXPECT_EQ(Find<QLineEdit>("applicationName")->text(), QDir::toNativeSeparators("\"/opt/alert tools/notify\""));

    SetApplicationChooserForTesting([](const QString&) { return QStringLiteral("/usr/bin/notify-send"); });
    Click("browse");
    EXPECT_EQ(Find<QLineEdit>("applicationName")->text(), QDir::toNativeSeparators("/usr/bin/notify-send"));

    // Cancelled: the text stays.
    SetApplicationChooserForTesting([](const QString&) { return QString(); });
    Click("browse");
    EXPECT_EQ(Find<QLineEdit>("applicationName")->text(), QDir::toNativeSeparators("/usr/bin/notify-send"));
    EXPECT_EQ(Confirmed().m_AlertSettings.m_AlertApplicationName, QDir::toNativeSeparators("/usr/bin/notify-send"));
}
