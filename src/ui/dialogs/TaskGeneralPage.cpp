#include "ui/dialogs/TaskGeneralPage.h"

#include "core/tasks/Task.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QVBoxLayout>

CTaskGeneralPage::CTaskGeneralPage(QWidget* parent)
    : CTaskPage(QStyle::SP_FileDialogInfoView,
                QStringLiteral("Specify the name and the description for the current task."), parent)
{
    auto* grid = new QGridLayout;
    m_pName = new QLineEdit(this);
    m_pName->setObjectName(QStringLiteral("name"));
    auto* nameLabel = new QLabel(QStringLiteral("&Name:"), this);
    nameLabel->setBuddy(m_pName);
    grid->addWidget(nameLabel, 0, 0);
    grid->addWidget(m_pName, 0, 1);
    // The sheet hands its first focus to the page; it belongs in the name.
    setFocusProxy(m_pName);

    m_pDescription = new QPlainTextEdit(this);
    m_pDescription->setObjectName(QStringLiteral("description"));
    // Enter breaks the line here; Tab must still lead on to the buttons.
    m_pDescription->setTabChangesFocus(true);
    auto* descriptionLabel = new QLabel(QStringLiteral("&Description:"), this);
    descriptionLabel->setBuddy(m_pDescription);
    grid->addWidget(descriptionLabel, 1, 0, Qt::AlignTop);
    grid->addWidget(m_pDescription, 1, 1);
    grid->setRowStretch(1, 1);
    Body()->addLayout(grid, 1);
}

void CTaskGeneralPage::SetUp(const CTask& task)
{
    m_pName->setText(task.m_Name);
    // Selected, so that a name typed at once replaces the proposed one instead of joining it.
    m_pName->selectAll();
    QString description = task.m_Description;
    m_pDescription->setPlainText(description.replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

void CTaskGeneralPage::Confirm(CTask& task)
{
    task.m_Name = m_pName->text();
    // The task keeps CR LF line breaks, whatever the platform's editor uses.
    task.m_Description = m_pDescription->toPlainText().replace(u'\n', QStringLiteral("\r\n"));
}
