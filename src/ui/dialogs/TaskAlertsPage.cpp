#include "ui/dialogs/TaskAlertsPage.h"

#include "core/tasks/Task.h"
#include "ui/dialogs/HttpAlertDialog.h"
#include "ui/dialogs/SheetPrompts.h"

#include <QCheckBox>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

CTaskAlertsPage::CTaskAlertsPage(QWidget* parent)
    : CTaskPage(QStyle::SP_MessageBoxWarning,
                QStringLiteral("Specify how Vigrel should react on failing task. You can use default application "
                               "settings or customize them."),
                parent)
{
    auto named = [](auto* widget, const char* name) {
        widget->setObjectName(QLatin1String(name));
        return widget;
    };

    // Created in the order Tab should visit them.
    m_pUseDefault = named(new QRadioButton(QStringLiteral("Use &default application settings"), this), "useDefault");
    m_pUseCustom = named(new QRadioButton(QStringLiteral("Use &custom settings"), this), "useCustom");
    m_pFailuresOnly = named(new QCheckBox(QStringLiteral("Alert only when task &fails. "), this), "failuresOnly");
    m_pMaxFailCount = named(NewDigitsEdit(this), "maxFailCount");
    m_pAlertOnRecovery = named(new QCheckBox(QStringLiteral("Alert when the task &recovers"), this), "alertOnRecovery");
    m_pEmail = named(
        new QCheckBox(QStringLiteral("&Send e-mail(s) to the following address(es). Use ';' as delimiter."), this),
        "email");
    m_pEmailAddresses = named(new QLineEdit(this), "emailAddresses");
    m_pHttpGet = named(new QCheckBox(QStringLiteral("Send HTTP &Get request"), this), "alertHttpGet");
    m_pHttpUrl = named(new QLineEdit(this), "alertHttpUrl");
    m_pHttpRequest = named(new QPushButton(QStringLiteral("Re&quest..."), this), "httpRequest");
    m_pHttpRequest->setToolTip(QStringLiteral("Method, body and presets for chat and monitoring services"));
    m_pApplication = named(new QCheckBox(QStringLiteral("Execute &external application"), this), "application");
    m_pApplicationName = named(new QLineEdit(this), "applicationName");
    m_pBrowse = named(new QPushButton(QStringLiteral("..."), this), "browse");
    m_pBrowse->setToolTip(QStringLiteral("Browse"));
    m_pBrowse->setMaximumWidth(m_pBrowse->fontMetrics().horizontalAdvance(QStringLiteral("...")) + 24);

    Body()->addWidget(m_pUseDefault);
    Body()->addWidget(m_pUseCustom);

    // The custom block sits indented under its radio button, destinations under their method.
    auto* grid = new QGridLayout;
    grid->setColumnMinimumWidth(0, 20);
    grid->setColumnMinimumWidth(1, 20);
    grid->setColumnStretch(3, 1);
    int row = 0;
    grid->addWidget(m_pFailuresOnly, row++, 1, 1, 4);
    auto* failRow = new QHBoxLayout;
    auto* failLabel = new QLabel(QStringLiteral("&Alert alter "), this);
    failLabel->setBuddy(m_pMaxFailCount);
    failRow->addWidget(failLabel);
    failRow->addWidget(m_pMaxFailCount);
    failRow->addWidget(new QLabel(QStringLiteral("consecutive failure(s)"), this));
    failRow->addStretch(1);
    grid->addLayout(failRow, row++, 1, 1, 4);
    grid->addWidget(m_pAlertOnRecovery, row++, 1, 1, 4);

    grid->addWidget(m_pEmail, row++, 1, 1, 4);
    grid->addWidget(m_pEmailAddresses, row++, 2, 1, 3);

    grid->addWidget(m_pHttpGet, row++, 1, 1, 4);
    auto* urlLabel = new QLabel(QStringLiteral("&URL:"), this);
    urlLabel->setBuddy(m_pHttpUrl);
    auto* urlRow = new QHBoxLayout;
    urlRow->addWidget(urlLabel);
    urlRow->addWidget(m_pHttpUrl, 1);
    urlRow->addWidget(m_pHttpRequest);
    grid->addLayout(urlRow, row++, 2, 1, 3);

    grid->addWidget(m_pApplication, row++, 1, 1, 4);
    auto* nameLabel = new QLabel(QStringLiteral("&Name:"), this);
    nameLabel->setBuddy(m_pApplicationName);
    auto* nameRow = new QHBoxLayout;
    nameRow->addWidget(nameLabel);
    nameRow->addWidget(m_pApplicationName, 1);
    nameRow->addWidget(m_pBrowse);
    grid->addLayout(nameRow, row++, 2, 1, 3);
    // The URL and the program's command line both take the placeholders.
    auto* hint = new QLabel(QStringLiteral("Use %N to specify failed task name and %E for error message"), this);
    hint->setWordWrap(true);
    grid->addWidget(hint, row++, 2, 1, 3);
    Body()->addLayout(grid);
    Body()->addStretch(1);

    for (QAbstractButton* button : std::initializer_list<QAbstractButton*> {
             m_pUseDefault, m_pUseCustom, m_pFailuresOnly, m_pEmail, m_pHttpGet, m_pApplication})
        connect(button, &QAbstractButton::toggled, this, &CTaskAlertsPage::UpdateEnabling);
    connect(m_pBrowse, &QPushButton::clicked, this, &CTaskAlertsPage::BrowseApplication);
    connect(m_pHttpRequest, &QPushButton::clicked, this, &CTaskAlertsPage::EditHttpRequest);
    UpdateEnabling();
}

void CTaskAlertsPage::SetUp(const CTask& task)
{
    const CAlertSettings& alerts = task.m_AlertSettings;
    (alerts.m_bUseDefaultAlertMethods ? m_pUseDefault : m_pUseCustom)->setChecked(true);
    m_pEmail->setChecked(alerts.m_AlertMethods & eAlertEmail);
    m_pHttpGet->setChecked(alerts.m_AlertMethods & eAlertHttpGet);
    m_pApplication->setChecked(alerts.m_AlertMethods & eAlertApplication);
    m_pEmailAddresses->setText(alerts.m_AlertEmailAddresses);
    m_pHttpUrl->setText(alerts.m_AlertHttpUrl);
    m_HttpMethod = alerts.m_AlertHttpMethod;
    m_HttpBody = alerts.m_AlertHttpBody;
    m_HttpContentType = alerts.m_AlertHttpContentType;
    m_pApplicationName->setText(alerts.m_AlertApplicationName);
    for (QLineEdit* field : {m_pEmailAddresses, m_pHttpUrl, m_pApplicationName})
        field->setCursorPosition(0);
    m_pFailuresOnly->setChecked(task.m_bAlertAboutFailuresOnly);
    m_pMaxFailCount->setText(QString::number(task.m_MaxFailCount));
    m_pAlertOnRecovery->setChecked(task.m_bAlertOnRecovery);
    UpdateEnabling();
}

void CTaskAlertsPage::Confirm(CTask& task)
{
    // Copied whichever radio button is chosen, so that the task's own settings outlast a
    // spell of the default ones.
    CAlertSettings& alerts = task.m_AlertSettings;
    alerts.m_bUseDefaultAlertMethods = m_pUseDefault->isChecked();
    alerts.m_AlertMethods = (m_pEmail->isChecked() ? eAlertEmail : 0) | (m_pHttpGet->isChecked() ? eAlertHttpGet : 0)
        | (m_pApplication->isChecked() ? eAlertApplication : 0);
    alerts.m_AlertEmailAddresses = m_pEmailAddresses->text();
    alerts.m_AlertHttpUrl = m_pHttpUrl->text();
    alerts.m_AlertHttpMethod = m_HttpMethod;
    alerts.m_AlertHttpBody = m_HttpBody;
    alerts.m_AlertHttpContentType = m_HttpContentType;
    alerts.m_AlertApplicationName = m_pApplicationName->text();
    task.m_bAlertAboutFailuresOnly = m_pFailuresOnly->isChecked();
    task.m_MaxFailCount = DigitsValue(m_pMaxFailCount);
    task.m_bAlertOnRecovery = m_pAlertOnRecovery->isChecked();
}

void CTaskAlertsPage::UpdateEnabling()
{
    const bool custom = m_pUseCustom->isChecked();
    m_pFailuresOnly->setEnabled(custom);
    // Follows its box as the default alert page does, so that both pages read the same way.
    m_pMaxFailCount->setEnabled(custom && m_pFailuresOnly->isChecked());
    m_pAlertOnRecovery->setEnabled(custom);
    m_pEmail->setEnabled(custom);
    m_pHttpGet->setEnabled(custom);
    m_pApplication->setEnabled(custom);
    m_pEmailAddresses->setEnabled(custom && m_pEmail->isChecked());
    m_pHttpUrl->setEnabled(custom && m_pHttpGet->isChecked());
    m_pHttpRequest->setEnabled(custom && m_pHttpGet->isChecked());
    m_pApplicationName->setEnabled(custom && m_pApplication->isChecked());
    m_pBrowse->setEnabled(custom && m_pApplication->isChecked());
}

void CTaskAlertsPage::BrowseApplication()
{
    QString path = ChooseApplicationFile(this, m_pApplicationName->text());
    if (path.isEmpty())
        return;
    path = QDir::toNativeSeparators(path);
    // The field is a command line whose words are split at blanks: a path with blanks must
    // stay one word.
    if (path.contains(u' ') || path.contains(u'\t'))
        path = u'"' + path + u'"';
    m_pApplicationName->setText(path);
    m_pApplicationName->setFocus();
}

void CTaskAlertsPage::EditHttpRequest()
{
    CHttpAlertDialog::EditRequest(this, m_pHttpUrl, m_HttpMethod, m_HttpBody, m_HttpContentType);
}
