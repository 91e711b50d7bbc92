#include "ui/dialogs/TaskConfigSheet.h"

#include "ui/dialogs/TaskAlertsPage.h"
#include "ui/dialogs/TaskChecksPage.h"
#include "ui/dialogs/TaskGeneralPage.h"
#include "ui/dialogs/TaskSchedulePage.h"

#include <QDialogButtonBox>
#include <QTabWidget>
#include <QVBoxLayout>

bool EditTask(QWidget* parent, CTask& task, [[maybe_unused]] bool newTask)
{
    // A new task and an edited one look alike: the new one simply starts from the defaults.
    CTaskConfigSheet sheet(QStringLiteral("Task Parameters"), parent);
    sheet.SetTask(task);
    if (sheet.exec() != QDialog::Accepted)
        return false;
    task = sheet.GetTask();
    return true;
}

CTaskConfigSheet::CTaskConfigSheet(const QString& caption, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(caption);
    auto* layout = new QVBoxLayout(this);
    m_pPages = new QTabWidget(this);
    m_Pages = {new CTaskGeneralPage, new CTaskChecksPage, new CTaskSchedulePage, new CTaskAlertsPage};
    const std::array<QString, 4> titles {QStringLiteral("General"), QStringLiteral("Checks"),
                                         QStringLiteral("Schedule"), QStringLiteral("Alerts")};
    for (size_t i = 0; i < m_Pages.size(); ++i)
        m_pPages->addTab(m_Pages[i], titles[i]);
    layout->addWidget(m_pPages, 1);

    m_pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(m_pButtons);
    connect(m_pButtons, &QDialogButtonBox::accepted, this, &CTaskConfigSheet::accept);
    connect(m_pButtons, &QDialogButtonBox::rejected, this, &CTaskConfigSheet::reject);
    connect(m_pPages, &QTabWidget::currentChanged, this, &CTaskConfigSheet::OnPageChanged);

    SetTask(m_Task);
}

void CTaskConfigSheet::SetTask(const CTask& task)
{
    m_Task = task;
    // No page is checked here: a task read from a file may hold values the pages refuse,
    // and they are shown when the user leaves that page or confirms, not as the sheet opens.
    for (CTaskPage* page : m_Pages)
        page->SetUp(m_Task);
    TurnTo(eGeneralPage);
    // Without this the dialog gives its first focus to the tab bar, and keys typed as the
    // sheet opens would never reach a field. Set before the sheet is shown, it is taken as
    // the window becomes active.
    m_Pages[eGeneralPage]->setFocus(Qt::OtherFocusReason);
}

void CTaskConfigSheet::TurnTo(int index)
{
    m_bTurning = true;
    m_pPages->setCurrentIndex(index);
    m_bTurning = false;
    m_nActivePage = index;
}

void CTaskConfigSheet::OnPageChanged(int index)
{
    if (m_bTurning || index == m_nActivePage)
        return;
    // The tab has already turned; turn back first, so that a refusal is shown over the page
    // that refuses and the focus can go to its field.
    TurnTo(m_nActivePage);
    if (m_Pages[size_t(m_nActivePage)]->CanLeave())
        TurnTo(index);
}

void CTaskConfigSheet::accept()
{
    // The page in view first, then the others: each one has to accept its values, including
    // pages the user never turned to.
    // Turning pages here paints nothing unless a page refuses, and then that page is shown.
    const int inView = m_nActivePage;
    if (!m_Pages[size_t(inView)]->CanLeave())
        return;
    for (int index = 0; index < int(m_Pages.size()); ++index) {
        if (index == inView)
            continue;
        TurnTo(index);
        if (!m_Pages[size_t(index)]->CanLeave())
            return;
    }
    TurnTo(inView);

    CTask edited = m_Task;
    for (CTaskPage* page : m_Pages)
        page->Confirm(edited);
    m_Task = edited;
    QDialog::accept();
}
