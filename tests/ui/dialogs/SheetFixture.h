#pragma once

#include "core/shell/AppSettings.h"
#include "core/support/Clock.h"
#include "core/tasks/Task.h"
#include "support/QtPrinters.h"
#include "support/TempSettings.h"
#include "ui/dialogs/SheetPrompts.h"
#include "ui/dialogs/TaskConfigSheet.h"

#include <QAbstractButton>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

// A shown sheet over a task, with its message boxes answered by a recorder and the clock at
// a fixed moment, driven as a user drives it: clicks on tabs and buttons, typed keys.
class SheetTest : public ::testing::Test
{
protected:
    static constexpr qint64 kNow = 1'800'000'000;

    void SetUp() override
    {
        SetClockForTesting([this] { return m_Now; });
        SetSheetMessageHookForTesting([this](const QString& text) { m_Messages << text; });
    }

    void TearDown() override
    {
        m_pSheet.reset();
        SetSheetMessageHookForTesting({});
        SetApplicationChooserForTesting({});
        SetClockForTesting({});
    }

    CTaskConfigSheet& Open(const CTask& task)
    {
        m_pSheet = std::make_unique<CTaskConfigSheet>(QStringLiteral("Task Parameters"));
        m_pSheet->SetTask(task);
        m_pSheet->show();
        return *m_pSheet;
    }

    template<typename T> T* Find(const char* name) const
    {
        T* widget = m_pSheet->findChild<T*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    int Page() const { return m_pSheet->Pages()->currentIndex(); }

    // Clicks the page's tab, as the user turns pages.
    void ClickTab(int page)
    {
        QTabBar* bar = m_pSheet->Pages()->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(page).center());
    }

    // Replaces a field's text by typing it.
    template<typename T> void Type(T* field, const QString& text)
    {
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Delete);
        QTest::keyClicks(field, text);
    }

    void Click(const char* name) { Find<QAbstractButton>(name)->click(); }

    // OK; true when the sheet ended with it.
    bool PressOk()
    {
        m_pSheet->Buttons()->button(QDialogButtonBox::Ok)->click();
        return m_pSheet->result() == QDialog::Accepted && !m_pSheet->isVisible();
    }

    // The task as OK leaves it; the test fails when OK was refused.
    CTask Confirmed()
    {
        EXPECT_TRUE(PressOk()) << "refused with: " << m_Messages.join(QStringLiteral(" | ")).toStdString();
        return m_pSheet->GetTask();
    }

    CTempSettings m_Settings;
    qint64 m_Now = kNow;
    QStringList m_Messages;
    std::unique_ptr<CTaskConfigSheet> m_pSheet;
};
