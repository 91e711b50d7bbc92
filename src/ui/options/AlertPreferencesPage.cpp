#include "ui/options/AlertPreferencesPage.h"

#include "core/shell/AppSettings.h"
#include "core/tasks/Task.h"
#include "ui/dialogs/HttpAlertDialog.h"
#include "ui/options/PageWidgets.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QToolButton>
#include <QVBoxLayout>

CAlertPreferencesPage::CAlertPreferencesPage(QWidget* parent)
    : QWidget(parent)
{
    // Controls are created in reading order, which is also their Tab order.
    auto* layout = new QVBoxLayout(this);

    auto* titleRow = new QHBoxLayout;
    titleRow->addWidget(CreatePageIcon(QStyle::SP_MessageBoxWarning, this));
    auto* title = new QLabel(QStringLiteral("Default alert configuration"), this);
    QFont titleFont = title->font();
    titleFont.setBold(true);
    title->setFont(titleFont);
    titleRow->addWidget(title, 1);
    layout->addLayout(titleRow);

    m_pAlertAboutFailuresOnly = new QCheckBox(QStringLiteral("&Alert only when task fails"), this);
    m_pAlertAboutFailuresOnly->setObjectName(QStringLiteral("AlertAboutFailuresOnly"));
    layout->addWidget(m_pAlertAboutFailuresOnly);
    auto* countRow = new QHBoxLayout;
    auto* countLabel = new QLabel(QStringLiteral("Alert alter "), this);
    m_pMaxFailCount = new QLineEdit(this);
    m_pMaxFailCount->setObjectName(QStringLiteral("MaxFailCount"));
    // Nine digits always fit the stored 32-bit number.
    m_pMaxFailCount->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,9}")), m_pMaxFailCount));
    m_pMaxFailCount->setMaximumWidth(fontMetrics().horizontalAdvance(QStringLiteral("0000000000")));
    countLabel->setBuddy(m_pMaxFailCount);
    countRow->addWidget(countLabel);
    countRow->addWidget(m_pMaxFailCount);
    countRow->addWidget(new QLabel(QStringLiteral("consecutive failure(s)"), this));
    countRow->addStretch(1);
    layout->addLayout(countRow);
    m_pAlertOnRecovery = new QCheckBox(QStringLiteral("Alert when the task &recovers"), this);
    m_pAlertOnRecovery->setObjectName(QStringLiteral("AlertOnRecovery"));
    layout->addWidget(m_pAlertOnRecovery);
    layout->addWidget(CreateSeparator(this));

    m_pSendEmail = new QCheckBox(
        QStringLiteral("&Send e-mail(s) to the following address(es). Use ';' as the delimiter."), this);
    m_pSendEmail->setObjectName(QStringLiteral("SendEmail"));
    layout->addWidget(m_pSendEmail);
    m_pEmailAddresses = new QLineEdit(this);
    m_pEmailAddresses->setObjectName(QStringLiteral("AlertEmailAddresses"));
    m_pEmailAddresses->setAccessibleName(QStringLiteral("E-mail addresses"));

    // The fields under each method are indented below its check box and share one column.
    const int indent = style()->pixelMetric(QStyle::PM_IndicatorWidth) + 6;
    auto* methods = new QGridLayout;
    methods->setColumnMinimumWidth(0, indent);
    methods->setColumnStretch(2, 1);
    methods->addWidget(m_pEmailAddresses, 0, 1, 1, 3);

    m_pSendHttp = new QCheckBox(QStringLiteral("Send HTTP &Get request"), this);
    m_pSendHttp->setObjectName(QStringLiteral("SendHttp"));
    methods->addWidget(m_pSendHttp, 1, 0, 1, 4);
    auto* urlLabel = new QLabel(QStringLiteral("URL:"), this);
    m_pHttpUrl = new QLineEdit(this);
    m_pHttpUrl->setObjectName(QStringLiteral("AlertHttpUrl"));
    urlLabel->setBuddy(m_pHttpUrl);
    methods->addWidget(urlLabel, 2, 1);
    m_pHttpRequest = new QPushButton(QStringLiteral("Re&quest..."), this);
    m_pHttpRequest->setObjectName(QStringLiteral("HttpRequest"));
    m_pHttpRequest->setToolTip(QStringLiteral("Method, body and presets for chat and monitoring services"));
    m_pHttpRequest->setAutoDefault(false);
    auto* urlRow = new QHBoxLayout;
    urlRow->addWidget(m_pHttpUrl, 1);
    urlRow->addWidget(m_pHttpRequest);
    methods->addLayout(urlRow, 2, 2, 1, 2);

    m_pRunApplication = new QCheckBox(QStringLiteral("Execute &external application"), this);
    m_pRunApplication->setObjectName(QStringLiteral("RunApplication"));
    methods->addWidget(m_pRunApplication, 3, 0, 1, 4);
    auto* nameLabel = new QLabel(QStringLiteral("Name:"), this);
    m_pApplicationName = new QLineEdit(this);
    m_pApplicationName->setObjectName(QStringLiteral("AlertApplicationName"));
    nameLabel->setBuddy(m_pApplicationName);
    m_pBrowseApplication = CreateBrowseButton(QStringLiteral("Browse for the application"), this);
    m_pBrowseApplication->setObjectName(QStringLiteral("BrowseApplication"));
    methods->addWidget(nameLabel, 4, 1);
    methods->addWidget(m_pApplicationName, 4, 2);
    methods->addWidget(m_pBrowseApplication, 4, 3);
    methods->addWidget(new QLabel(QStringLiteral("Use %N to specify failed task name and %E for error message"), this),
                       5, 2, 1, 2);
    layout->addLayout(methods);
    layout->addStretch(1);

    for (QCheckBox* box : {m_pAlertAboutFailuresOnly, m_pSendEmail, m_pSendHttp, m_pRunApplication})
        connect(box, &QCheckBox::toggled, this, &CAlertPreferencesPage::UpdateEnabling);
    connect(m_pBrowseApplication, &QToolButton::clicked, this, &CAlertPreferencesPage::BrowseApplication);
    connect(m_pHttpRequest, &QPushButton::clicked, this, &CAlertPreferencesPage::EditHttpRequest);
    UpdateEnabling();
}

void CAlertPreferencesPage::Load(const CAppSettings& settings)
{
    m_pSendEmail->setChecked(settings.m_AlertMethods & eAlertEmail);
    m_pRunApplication->setChecked(settings.m_AlertMethods & eAlertApplication);
    m_pSendHttp->setChecked(settings.m_AlertMethods & eAlertHttpGet);
    m_pEmailAddresses->setText(settings.m_AlertEmailAddresses);
    m_pHttpUrl->setText(settings.m_AlertHttpUrl);
    m_HttpMethod = settings.m_AlertHttpMethod;
    m_HttpBody = settings.m_AlertHttpBody;
    m_HttpContentType = settings.m_AlertHttpContentType;
    m_pApplicationName->setText(settings.m_AlertApplicationName);
    m_pAlertAboutFailuresOnly->setChecked(settings.m_bAlertAboutFailuresOnly);
    m_pMaxFailCount->setText(QString::number(settings.m_MaxFailCount));
    m_pAlertOnRecovery->setChecked(settings.m_bAlertOnRecovery);
    UpdateEnabling();
}

void CAlertPreferencesPage::Store(CAppSettings& settings) const
{
    int methods = 0;
    if (m_pSendEmail->isChecked())
        methods |= eAlertEmail;
    if (m_pSendHttp->isChecked())
        methods |= eAlertHttpGet;
    if (m_pRunApplication->isChecked())
        methods |= eAlertApplication;
    settings.m_AlertMethods = methods;
    settings.m_AlertEmailAddresses = m_pEmailAddresses->text();
    settings.m_AlertHttpUrl = m_pHttpUrl->text();
    settings.m_AlertHttpMethod = m_HttpMethod;
    settings.m_AlertHttpBody = m_HttpBody;
    settings.m_AlertHttpContentType = m_HttpContentType;
    settings.m_AlertApplicationName = m_pApplicationName->text();
    settings.m_bAlertAboutFailuresOnly = m_pAlertAboutFailuresOnly->isChecked();
    // An empty field is 0, as is anything that is not a number (only a stored negative count
    // can bring a sign in, and it goes back as it came).
    settings.m_MaxFailCount = m_pMaxFailCount->text().trimmed().toInt();
    settings.m_bAlertOnRecovery = m_pAlertOnRecovery->isChecked();
}

void CAlertPreferencesPage::UpdateEnabling()
{
    m_pMaxFailCount->setEnabled(m_pAlertAboutFailuresOnly->isChecked());
    m_pEmailAddresses->setEnabled(m_pSendEmail->isChecked());
    m_pHttpUrl->setEnabled(m_pSendHttp->isChecked());
    m_pHttpRequest->setEnabled(m_pSendHttp->isChecked());
    m_pApplicationName->setEnabled(m_pRunApplication->isChecked());
    m_pBrowseApplication->setEnabled(m_pRunApplication->isChecked());
}

void CAlertPreferencesPage::BrowseApplication()
{
    CFileRequest request;
#ifdef Q_OS_WIN
    request.m_Filters = QStringList {QStringLiteral("Executables (*.exe)"), QStringLiteral("All Files (*.*)")};
#else
    // Programs here carry no extension to filter on.
    request.m_Filters = QStringList {QStringLiteral("All Files (*)")};
#endif
    request.m_CurrentPath = m_pApplicationName->text();
    const QString fileName = BrowseForFile(this, request);
    if (fileName.isEmpty())
        return;
    // The field is a command line that is split at blanks before it runs, so a program path
    // with blanks must arrive in quotes to stay one program.
    const bool hasBlank = fileName.contains(QLatin1Char(' ')) || fileName.contains(QLatin1Char('\t'));
    m_pApplicationName->setText(hasBlank ? QLatin1Char('"') + fileName + QLatin1Char('"') : fileName);
}

void CAlertPreferencesPage::EditHttpRequest()
{
    CHttpAlertDialog::EditRequest(this, m_pHttpUrl, m_HttpMethod, m_HttpBody, m_HttpContentType);
}
