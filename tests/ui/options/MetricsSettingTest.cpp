// Where the window serves its metrics: the fields of the History page, kept as settings.
#include "OptionsTestHelpers.h"
#include "core/shell/AppSettings.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"
#include "ui/options/HistoryPreferencesPage.h"
#include "ui/options/OptionsSheet.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

#include <gtest/gtest.h>

TEST(MetricsSetting, TheHistoryPageShowsAndStoresTheAddressAndTheRemoteSwitch)
{
    CTempSettings settings;
    CTempConfigHome configHome;
    CAppSettings changed = GetAppSettings();
    changed.m_MetricsListen = QStringLiteral("[::1]:9100");
    SetAppSettings(changed);

    COptionsSheet sheet(nullptr, nullptr);
    sheet.show();
    sheet.GetTabs()->setCurrentWidget(sheet.GetHistoryPage());
    auto* listen = FindControl<QLineEdit>(&sheet, "MetricsListen");
    auto* remote = FindControl<QCheckBox>(&sheet, "MetricsAllowRemote");
    EXPECT_EQ(listen->text(), u"[::1]:9100");
    EXPECT_FALSE(remote->isChecked());
    // Off with the history too: the metrics come from the results in memory, not from it.
    SetChecked(FindControl<QCheckBox>(&sheet, "HistoryEnabled"), false);
    EXPECT_TRUE(listen->isEnabled());

    TypeInto(listen, QStringLiteral(" 0.0.0.0:9200 "));
    SetChecked(remote, true);
    sheet.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    ASSERT_EQ(sheet.result(), QDialog::Accepted);

    settings.Reload();
    EXPECT_EQ(GetAppSettings().m_MetricsListen, u"0.0.0.0:9200");
    EXPECT_TRUE(GetAppSettings().m_bMetricsAllowRemote);
}
