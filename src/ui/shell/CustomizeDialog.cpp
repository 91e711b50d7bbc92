#include "ui/shell/CustomizeDialog.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

CCustomizeDialog::CCustomizeDialog(const QList<QAction*>& buttons, const QSet<QString>& hidden,
                                   const QList<CUserTool>& tools, QWidget* parent)
    : QDialog(parent)
    , m_Tools(tools)
{
    setWindowTitle(QStringLiteral("Customize"));
    m_pTabs = new QTabWidget(this);

    auto* toolbarPage = new QWidget;
    auto* toolbarLayout = new QVBoxLayout(toolbarPage);
    toolbarLayout->addWidget(new QLabel(QStringLiteral("Buttons shown on the Standard toolbar:")));
    m_pButtons = new QListWidget;
    m_pButtons->setObjectName(QStringLiteral("toolbarButtons"));
    for (QAction* action : buttons) {
        auto* item = new QListWidgetItem(action->icon(), action->iconText(), m_pButtons);
        item->setData(Qt::UserRole, action->objectName());
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        item->setCheckState(hidden.contains(action->objectName()) ? Qt::Unchecked : Qt::Checked);
    }
    toolbarLayout->addWidget(m_pButtons);
    m_pTabs->addTab(toolbarPage, QStringLiteral("Toolbar"));

    auto* toolsPage = new QWidget;
    auto* toolsLayout = new QVBoxLayout(toolsPage);
    m_pToolList = new QListWidget;
    for (const CUserTool& tool : std::as_const(m_Tools))
        m_pToolList->addItem(tool.m_Name);
    auto* listButtons = new QHBoxLayout;
    m_pNewTool = new QPushButton(QStringLiteral("&New"));
    m_pDeleteTool = new QPushButton(QStringLiteral("&Delete"));
    listButtons->addWidget(m_pNewTool);
    listButtons->addWidget(m_pDeleteTool);
    listButtons->addStretch();
    auto* fields = new QFormLayout;
    m_pName = new QLineEdit;
    m_pProgram = new QLineEdit;
    m_pArguments = new QLineEdit;
    auto* browse = new QPushButton(QStringLiteral("..."));
    auto* programRow = new QHBoxLayout;
    programRow->addWidget(m_pProgram);
    programRow->addWidget(browse);
    fields->addRow(QStringLiteral("&Name:"), m_pName);
    // A row that is a layout gets a label without a buddy, which would show the ampersand.
    auto* programLabel = new QLabel(QStringLiteral("&Program:"));
    programLabel->setBuddy(m_pProgram);
    fields->addRow(programLabel, programRow);
    fields->addRow(QStringLiteral("&Arguments:"), m_pArguments);
    toolsLayout->addWidget(m_pToolList);
    toolsLayout->addLayout(listButtons);
    toolsLayout->addLayout(fields);
    m_pTabs->addTab(toolsPage, QStringLiteral("Tools"));

    auto* buttonBox = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pTabs);
    layout->addWidget(buttonBox);

    connect(buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_pToolList, &QListWidget::currentRowChanged, this, &CCustomizeDialog::OnToolSelected);
    connect(m_pNewTool, &QPushButton::clicked, this, &CCustomizeDialog::OnNewTool);
    connect(m_pDeleteTool, &QPushButton::clicked, this, &CCustomizeDialog::OnDeleteTool);
    for (QLineEdit* edit : {m_pName, m_pProgram, m_pArguments})
        connect(edit, &QLineEdit::textEdited, this, &CCustomizeDialog::OnToolEdited);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString program = QFileDialog::getOpenFileName(this, QStringLiteral("Program"));
        if (!program.isEmpty()) {
            m_pProgram->setText(program);
            OnToolEdited();
        }
    });
    m_pToolList->setCurrentRow(m_Tools.isEmpty() ? -1 : 0);
    OnToolSelected();
}

void CCustomizeDialog::ShowPage(ePage page)
{
    m_pTabs->setCurrentIndex(int(page));
}

QSet<QString> CCustomizeDialog::GetHiddenButtons() const
{
    QSet<QString> hidden;
    for (int i = 0; i < m_pButtons->count(); ++i) {
        if (m_pButtons->item(i)->checkState() != Qt::Checked)
            hidden.insert(m_pButtons->item(i)->data(Qt::UserRole).toString());
    }
    return hidden;
}

QList<CUserTool> CCustomizeDialog::GetTools() const
{
    QList<CUserTool> tools;
    for (const CUserTool& tool : m_Tools) {
        if (!tool.m_Program.trimmed().isEmpty())
            tools << tool;
    }
    return tools;
}

void CCustomizeDialog::OnToolSelected()
{
    const int row = m_pToolList->currentRow();
    const bool valid = row >= 0 && row < m_Tools.size();
    m_bLoadingFields = true;
    m_pName->setText(valid ? m_Tools.at(row).m_Name : QString());
    m_pProgram->setText(valid ? m_Tools.at(row).m_Program : QString());
    m_pArguments->setText(valid ? m_Tools.at(row).m_Arguments : QString());
    m_bLoadingFields = false;
    for (QLineEdit* edit : {m_pName, m_pProgram, m_pArguments})
        edit->setEnabled(valid);
    m_pDeleteTool->setEnabled(valid);
    m_pNewTool->setEnabled(m_Tools.size() < kMaxUserTools);
}

void CCustomizeDialog::OnToolEdited()
{
    const int row = m_pToolList->currentRow();
    if (m_bLoadingFields || row < 0 || row >= m_Tools.size())
        return;
    m_Tools[row] = {m_pName->text(), m_pProgram->text(), m_pArguments->text()};
    m_pToolList->item(row)->setText(m_Tools.at(row).m_Name);
}

void CCustomizeDialog::OnNewTool()
{
    if (m_Tools.size() >= kMaxUserTools)
        return;
    m_Tools << CUserTool {QStringLiteral("New tool"), QString(), QString()};
    m_pToolList->addItem(m_Tools.constLast().m_Name);
    m_pToolList->setCurrentRow(int(m_Tools.size()) - 1);
    m_pName->setFocus();
    m_pName->selectAll();
}

void CCustomizeDialog::OnDeleteTool()
{
    const int row = m_pToolList->currentRow();
    if (row < 0 || row >= m_Tools.size())
        return;
    m_Tools.removeAt(row);
    delete m_pToolList->takeItem(row);
    OnToolSelected();
}
