#include "ui/options/OutputPreferencesPage.h"

#include "Version.h"
#include "core/output/Severity.h"
#include "core/shell/AppSettings.h"
#include "ui/options/PageWidgets.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QToolButton>
#include <QVBoxLayout>

#include <optional>

namespace {

std::optional<int> ParseMessageLimit(const QString& text)
{
    bool ok = false;
    const int number = text.trimmed().toInt(&ok);
    if (!ok || number < COutputPreferencesPage::kMinMessages || number > COutputPreferencesPage::kMaxMessages)
        return std::nullopt;
    return number;
}

} // namespace

COutputPreferencesPage::COutputPreferencesPage(QWidget* parent)
    : QWidget(parent)
{
    // Controls are created in reading order, which is also their Tab order.
    auto* layout = new QVBoxLayout(this);
    auto* listLabel = new QLabel(QStringLiteral("Choose what message types to display in the output window:"), this);
    layout->addWidget(listLabel);
    m_pSeverities = new QListWidget(this);
    m_pSeverities->setObjectName(QStringLiteral("SeverityShown"));
    m_pSeverities->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pSeverities->setSortingEnabled(true);
    listLabel->setBuddy(m_pSeverities);
    for (const auto& [code, name] : CSeverity::GetSeverityTable()) {
        auto* item = new QListWidgetItem(name);
        item->setData(Qt::UserRole, code);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Checked);
        m_pSeverities->addItem(item);
    }
    // Just tall enough for every severity: no scroll bar, no empty rows.
    m_pSeverities->setFixedHeight(m_pSeverities->count() * m_pSeverities->sizeHintForRow(0)
                                  + 2 * m_pSeverities->frameWidth() + 4);
    layout->addWidget(m_pSeverities);

    auto* limitRow = new QHBoxLayout;
    m_pLimitMessageNumber
        = new QCheckBox(QStringLiteral("Limit total &number of messages in the output window to"), this);
    m_pLimitMessageNumber->setObjectName(QStringLiteral("LimitMessageNumber"));
    m_pMaxMessageNumber = new QLineEdit(this);
    m_pMaxMessageNumber->setObjectName(QStringLiteral("MaxMessageNumber"));
    m_pMaxMessageNumber->setAccessibleName(QStringLiteral("Message limit"));
    m_pMaxMessageNumber->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,9}")), m_pMaxMessageNumber));
    m_pMaxMessageNumber->setMaximumWidth(fontMetrics().horizontalAdvance(QStringLiteral("00000000000")));
    limitRow->addWidget(m_pLimitMessageNumber);
    limitRow->addWidget(m_pMaxMessageNumber);
    limitRow->addStretch(1);
    layout->addLayout(limitRow);

    m_pLogToFile = new QCheckBox(QStringLiteral("&Also log output to the file"), this);
    m_pLogToFile->setObjectName(QStringLiteral("LogToFile"));
    layout->addWidget(m_pLogToFile);
    auto* fileRow = new QHBoxLayout;
    fileRow->addSpacing(style()->pixelMetric(QStyle::PM_IndicatorWidth) + 6);
    auto* fileLabel = new QLabel(QStringLiteral("File name:"), this);
    m_pLogFileName = new QLineEdit(this);
    m_pLogFileName->setObjectName(QStringLiteral("LogFileName"));
    fileLabel->setBuddy(m_pLogFileName);
    m_pBrowseLogFile = CreateBrowseButton(QStringLiteral("Browse for the log file"), this);
    m_pBrowseLogFile->setObjectName(QStringLiteral("BrowseLogFile"));
    fileRow->addWidget(fileLabel);
    fileRow->addWidget(m_pLogFileName, 1);
    fileRow->addWidget(m_pBrowseLogFile);
    layout->addLayout(fileRow);
    layout->addStretch(1);

    connect(m_pLimitMessageNumber, &QCheckBox::toggled, this, &COutputPreferencesPage::UpdateEnabling);
    connect(m_pLogToFile, &QCheckBox::toggled, this, &COutputPreferencesPage::UpdateEnabling);
    connect(m_pBrowseLogFile, &QToolButton::clicked, this, &COutputPreferencesPage::BrowseLogFile);
    UpdateEnabling();
}

void COutputPreferencesPage::Load(const CAppSettings& settings)
{
    for (int row = 0; row < m_pSeverities->count(); ++row) {
        QListWidgetItem* item = m_pSeverities->item(row);
        item->setCheckState(settings.IsSeverityShown(item->data(Qt::UserRole).toInt()) ? Qt::Checked : Qt::Unchecked);
    }
    m_pLogFileName->setText(settings.m_LogFileName);
    m_pLogToFile->setChecked(settings.m_bLogToFile);
    m_pMaxMessageNumber->setText(QString::number(settings.m_MaxMessageNumber));
    m_pLimitMessageNumber->setChecked(settings.m_bLimitMessageNumber);
    UpdateEnabling();
}

void COutputPreferencesPage::Store(CAppSettings& settings) const
{
    for (int row = 0; row < m_pSeverities->count(); ++row) {
        const QListWidgetItem* item = m_pSeverities->item(row);
        settings.m_SeverityShown[item->data(Qt::UserRole).toInt()] = item->checkState() == Qt::Checked;
    }
    settings.m_LogFileName = m_pLogFileName->text();
    settings.m_bLogToFile = m_pLogToFile->isChecked();
    // With the limit off, a number out of range is not worth a refusal, nor worth keeping.
    if (const std::optional<int> limit = ParseMessageLimit(m_pMaxMessageNumber->text()))
        settings.m_MaxMessageNumber = *limit;
    settings.m_bLimitMessageNumber = m_pLimitMessageNumber->isChecked();
}

bool COutputPreferencesPage::IsMessageLimitAcceptable() const
{
    return !m_pLimitMessageNumber->isChecked() || ParseMessageLimit(m_pMaxMessageNumber->text()).has_value();
}

void COutputPreferencesPage::RefuseMessageLimit()
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral(CORVANE_PRODUCT_NAME),
                    QStringLiteral("Please enter an integer between %1 and %2.").arg(kMinMessages).arg(kMaxMessages),
                    QMessageBox::Ok, this);
    box.exec();
    m_pMaxMessageNumber->setFocus(Qt::OtherFocusReason);
    m_pMaxMessageNumber->selectAll();
}

void COutputPreferencesPage::UpdateEnabling()
{
    m_pMaxMessageNumber->setEnabled(m_pLimitMessageNumber->isChecked());
    m_pLogFileName->setEnabled(m_pLogToFile->isChecked());
    m_pBrowseLogFile->setEnabled(m_pLogToFile->isChecked());
}

void COutputPreferencesPage::BrowseLogFile()
{
    CFileRequest request;
    request.m_Mode = QFileDialog::AcceptSave;
    request.m_Filters = QStringList {QStringLiteral("Text files (*.txt)"), QStringLiteral("Log files (*.log)"),
                                     QStringLiteral("All files (*)")};
    request.m_ProposedName = QStringLiteral("Log.txt");
    request.m_CurrentPath = m_pLogFileName->text();
    const QString fileName = BrowseForFile(this, request);
    if (!fileName.isEmpty())
        m_pLogFileName->setText(fileName);
}
