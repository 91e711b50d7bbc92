#include "ui/options/GeneralPreferencesPage.h"

#include "Version.h"
#include "core/alerts/MailDelivery.h"
#include "core/alerts/SmtpPassword.h"
#include "core/shell/AppSettings.h"
#include "core/support/AutoStart.h"
#include "core/support/MailMessage.h"
#include "ui/options/PageWidgets.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QThreadPool>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>

CGeneralPreferencesPage::CGeneralPreferencesPage(QWidget* parent)
    : QWidget(parent)
{
    // Controls are created in reading order, which is also their Tab order.
    auto* layout = new QGridLayout(this);
    layout->setColumnStretch(1, 1);
    int row = 0;

    layout->addWidget(CreatePageIcon(QStyle::SP_DriveNetIcon, this), row, 0);
    layout->addWidget(CreateExplanation(QStringLiteral("Specify the SMTP server name that Vigrel will use to sent "
                                                       "e-mails. Please contact your network administrator if you are "
                                                       "not sure what name to use."),
                                        this),
                      row++, 1);
    auto* mail = new QGridLayout;
    mail->setColumnStretch(1, 1);
    mail->setColumnStretch(3, 1);
    int mailRow = 0;
    const auto addLabel = [&](const QString& text, QWidget* field, int column) {
        auto* label = new QLabel(text, this);
        label->setBuddy(field);
        mail->addWidget(label, mailRow, column);
    };
    m_pSmtpServerName = new QLineEdit(this);
    m_pSmtpServerName->setObjectName(QStringLiteral("SmtpServerName"));
    m_pSmtpServerName->setToolTip(QStringLiteral("A host name or address; \"host:port\" names the port as well."));
    addLabel(QStringLiteral("SMTP server name:"), m_pSmtpServerName, 0);
    mail->addWidget(m_pSmtpServerName, mailRow++, 1, 1, 4);

    m_pSmtpPort = new QSpinBox(this);
    m_pSmtpPort->setObjectName(QStringLiteral("SmtpPort"));
    m_pSmtpPort->setRange(0, 65535);
    // 0 follows the security: 25, 587 or 465.
    m_pSmtpPort->setSpecialValueText(QStringLiteral("Usual"));
    m_pSmtpPort->setToolTip(QStringLiteral("Usual: 25 without security, 587 for STARTTLS, 465 for SSL/TLS."));
    addLabel(QStringLiteral("Po&rt:"), m_pSmtpPort, 0);
    mail->addWidget(m_pSmtpPort, mailRow, 1);
    m_pSmtpSecurity = new QComboBox(this);
    m_pSmtpSecurity->setObjectName(QStringLiteral("SmtpSecurity"));
    // In the order of m_SmtpSecurity's values.
    m_pSmtpSecurity->addItems({QStringLiteral("None"), QStringLiteral("STARTTLS"), QStringLiteral("SSL/TLS")});
    addLabel(QStringLiteral("Securit&y:"), m_pSmtpSecurity, 2);
    mail->addWidget(m_pSmtpSecurity, mailRow++, 3, 1, 2);

    m_pSmtpUserName = new QLineEdit(this);
    m_pSmtpUserName->setObjectName(QStringLiteral("SmtpUserName"));
    m_pSmtpUserName->setPlaceholderText(QStringLiteral("no login"));
    addLabel(QStringLiteral("&User name:"), m_pSmtpUserName, 0);
    mail->addWidget(m_pSmtpUserName, mailRow, 1);
    m_pSmtpPassword = new QLineEdit(this);
    m_pSmtpPassword->setObjectName(QStringLiteral("SmtpPassword"));
    m_pSmtpPassword->setEchoMode(QLineEdit::Password);
    addLabel(QStringLiteral("Pass&word:"), m_pSmtpPassword, 2);
    mail->addWidget(m_pSmtpPassword, mailRow++, 3, 1, 2);

    m_pSmtpFromAddress = new QLineEdit(this);
    m_pSmtpFromAddress->setObjectName(QStringLiteral("SmtpFromAddress"));
    m_pSmtpFromAddress->setPlaceholderText(QStringLiteral("the first alert address"));
    addLabel(QStringLiteral("&From address:"), m_pSmtpFromAddress, 0);
    mail->addWidget(m_pSmtpFromAddress, mailRow++, 1, 1, 4);

    m_pSmtpPasswordFile = new QLineEdit(this);
    m_pSmtpPasswordFile->setObjectName(QStringLiteral("SmtpPasswordFile"));
    m_pSmtpPasswordFile->setToolTip(QStringLiteral("For a server without a secret store: a file only you can read, "
                                                   "with the password on its first line."));
    m_pBrowsePasswordFile = CreateBrowseButton(QStringLiteral("Browse for the password file"), this);
    m_pBrowsePasswordFile->setObjectName(QStringLiteral("BrowsePasswordFile"));
    addLabel(QStringLiteral("Password fi&le:"), m_pSmtpPasswordFile, 0);
    mail->addWidget(m_pSmtpPasswordFile, mailRow, 1, 1, 3);
    mail->addWidget(m_pBrowsePasswordFile, mailRow++, 4);

    m_pTlsCaFile = new QLineEdit(this);
    m_pTlsCaFile->setObjectName(QStringLiteral("TlsCaFile"));
    m_pTlsCaFile->setToolTip(QStringLiteral("A PEM file of certificates to trust besides the system's, such as "
                                            "your company's own authority; for the mail server and the checks."));
    m_pBrowseTlsCaFile = CreateBrowseButton(QStringLiteral("Browse for the certificate file"), this);
    m_pBrowseTlsCaFile->setObjectName(QStringLiteral("BrowseTlsCaFile"));
    addLabel(QStringLiteral("E&xtra trusted certificates:"), m_pTlsCaFile, 0);
    mail->addWidget(m_pTlsCaFile, mailRow, 1, 1, 3);
    mail->addWidget(m_pBrowseTlsCaFile, mailRow++, 4);

    m_pPasswordLocation = new QLabel(this);
    m_pPasswordLocation->setObjectName(QStringLiteral("PasswordLocation"));
    m_pPasswordLocation->setWordWrap(true);
    m_pPasswordLocation->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_pSendTestMail = new QPushButton(QStringLiteral("Send test &e-mail"), this);
    m_pSendTestMail->setObjectName(QStringLiteral("SendTestMail"));
    m_pSendTestMail->setAutoDefault(false);
    m_pSendTestMail->setToolTip(QStringLiteral("Sends one message now to the alert e-mail addresses, with the "
                                               "settings as they stand on this sheet."));
    layout->addLayout(mail, row++, 0, 1, 2);
    // In the page's own grid: a wrapped label nested deeper is given too little height.
    layout->addWidget(m_pPasswordLocation, row++, 0, 1, 2);
    layout->addWidget(m_pSendTestMail, row++, 0, 1, 2, Qt::AlignRight);
    layout->addWidget(CreateSeparator(this), row++, 0, 1, 2);

    layout->addWidget(CreatePageIcon(QStyle::SP_DesktopIcon, this), row, 0);
    layout->addWidget(CreateExplanation(QStringLiteral("Check this option if you want Vigrel to minimize to the "
                                                       "system tray instead of the taskbar."),
                                        this),
                      row++, 1);
    m_pMinimizeToTray = new QCheckBox(QStringLiteral("&Minimise to tray"), this);
    m_pMinimizeToTray->setObjectName(QStringLiteral("MinimizeToTray"));
    layout->addWidget(m_pMinimizeToTray, row++, 0, 1, 2);
    // The tray icon is never animated, so the box is shown for its place only and never enabled.
    m_pAnimateIcon = new QCheckBox(QStringLiteral("&Animate icon"), this);
    m_pAnimateIcon->setObjectName(QStringLiteral("AnimateIcon"));
    m_pAnimateIcon->setEnabled(false);
    layout->addWidget(m_pAnimateIcon, row++, 0, 1, 2);
    m_pDesktopNotifications
        = new QCheckBox(QStringLiteral("Show &desktop notifications when a task goes down or comes back"), this);
    m_pDesktopNotifications->setObjectName(QStringLiteral("DesktopNotifications"));
    layout->addWidget(m_pDesktopNotifications, row++, 0, 1, 2);
    layout->addWidget(CreateSeparator(this), row++, 0, 1, 2);

    layout->addWidget(CreatePageIcon(QStyle::SP_ComputerIcon, this), row, 0);
    layout->addWidget(CreateExplanation(QStringLiteral("Check this option if you want Vigrel to automatically start "
                                                       "at the system startup. Vigrel can also automatically open task "
                                                       "file and start executing tasks from it."),
                                        this),
                      row++, 1);
    m_pAutoStart = new QCheckBox(QStringLiteral("&Start with the system"), this);
    m_pAutoStart->setObjectName(QStringLiteral("AutoStart"));
    layout->addWidget(m_pAutoStart, row++, 0, 1, 2);
    m_pAutoOpenTasks = new QCheckBox(QStringLiteral("&Open task file:"), this);
    m_pAutoOpenTasks->setObjectName(QStringLiteral("AutoOpenTasks"));
    m_pAutoOpenFileName = new QLineEdit(this);
    m_pAutoOpenFileName->setObjectName(QStringLiteral("AutoOpenFileName"));
    m_pAutoOpenFileName->setAccessibleName(QStringLiteral("Task file"));
    m_pBrowseTaskFile = CreateBrowseButton(QStringLiteral("Browse for the task file"), this);
    m_pBrowseTaskFile->setObjectName(QStringLiteral("BrowseTaskFile"));
    auto* fileRow = new QHBoxLayout;
    // Indented under "Start with the system", which it depends on.
    fileRow->addSpacing(style()->pixelMetric(QStyle::PM_IndicatorWidth) + 6);
    fileRow->addWidget(m_pAutoOpenTasks);
    fileRow->addWidget(m_pAutoOpenFileName, 1);
    fileRow->addWidget(m_pBrowseTaskFile);
    layout->addLayout(fileRow, row++, 0, 1, 2);
    layout->addWidget(CreateSeparator(this), row++, 0, 1, 2);

    layout->addWidget(CreatePageIcon(QStyle::SP_DirLinkIcon, this), row, 0);
    layout->addWidget(CreateExplanation(QStringLiteral("A site crawl fetches this many pages at a time. A task can set "
                                                       "a number of its own on its Checks page."),
                                        this),
                      row++, 1);
    m_pSpiderConnections = new QSpinBox(this);
    m_pSpiderConnections->setObjectName(QStringLiteral("SpiderConnections"));
    // The bounds the settings are read with; 1 crawls one page after the other.
    m_pSpiderConnections->setRange(1, 32);
    auto* crawlRow = new QHBoxLayout;
    auto* crawlLabel = new QLabel(QStringLiteral("&Connections per site:"), this);
    crawlLabel->setBuddy(m_pSpiderConnections);
    crawlRow->addWidget(crawlLabel);
    crawlRow->addWidget(m_pSpiderConnections);
    crawlRow->addStretch(1);
    layout->addLayout(crawlRow, row++, 0, 1, 2);
    layout->setRowStretch(row, 1);

    connect(m_pAutoStart, &QCheckBox::toggled, this, &CGeneralPreferencesPage::UpdateEnabling);
    connect(m_pAutoOpenTasks, &QCheckBox::toggled, this, &CGeneralPreferencesPage::UpdateEnabling);
    connect(m_pBrowseTaskFile, &QToolButton::clicked, this, &CGeneralPreferencesPage::BrowseTaskFile);
    connect(m_pBrowsePasswordFile, &QToolButton::clicked, this,
            [this] { BrowseFileInto(m_pSmtpPasswordFile, {QStringLiteral("All files (*)")}); });
    connect(m_pBrowseTlsCaFile, &QToolButton::clicked, this, [this] {
        BrowseFileInto(m_pTlsCaFile,
                       {QStringLiteral("Certificates (*.pem *.crt *.cer)"), QStringLiteral("All files (*)")});
    });
    for (QLineEdit* edit : {m_pSmtpUserName, m_pSmtpPasswordFile}) {
        connect(edit, &QLineEdit::textChanged, this, &CGeneralPreferencesPage::UpdatePasswordLocation);
        connect(edit, &QLineEdit::textChanged, this, &CGeneralPreferencesPage::UpdateEnabling);
    }
    connect(m_pSendTestMail, &QPushButton::clicked, this, &CGeneralPreferencesPage::SendTestMail);
    UpdateEnabling();
}

CGeneralPreferencesPage::~CGeneralPreferencesPage()
{
    m_pAbortTestMail->store(true);
}

void CGeneralPreferencesPage::Load(const CAppSettings& settings)
{
    m_pSmtpServerName->setText(settings.m_SmtpServerName);
    m_pSmtpPort->setValue(settings.m_SmtpPort);
    m_pSmtpSecurity->setCurrentIndex(std::clamp(settings.m_SmtpSecurity, 0, m_pSmtpSecurity->count() - 1));
    m_pSmtpUserName->setText(settings.m_SmtpUserName);
    m_pSmtpUserName->setCursorPosition(0);
    // A kept password is never read back into the window.
    m_pSmtpPassword->clear();
    m_pSmtpPassword->setPlaceholderText(settings.m_SmtpUserName.isEmpty() ? QString() : QStringLiteral("unchanged"));
    m_pSmtpFromAddress->setText(settings.m_SmtpFromAddress);
    m_pSmtpPasswordFile->setText(settings.m_SmtpPasswordFile);
    m_pTlsCaFile->setText(settings.m_TlsCaFile);
    m_pMinimizeToTray->setChecked(settings.m_bMinimizeToTray);
    // What the system holds, not the stored flag: the user may have removed the entry since.
    m_pAutoStart->setChecked(CAutoStartKey::IsRegistered());
    m_pAutoOpenFileName->setText(settings.m_AutoOpenFileName);
    m_pAutoOpenTasks->setChecked(settings.m_bAutoOpenTasks);
    m_pAnimateIcon->setChecked(false);
    m_pDesktopNotifications->setChecked(settings.m_bDesktopNotifications);
    m_pSpiderConnections->setValue(settings.m_SpiderConnections);
    UpdateEnabling();
    UpdatePasswordLocation();
}

void CGeneralPreferencesPage::Store(CAppSettings& settings) const
{
    settings.m_SmtpServerName = m_pSmtpServerName->text().trimmed();
    settings.m_SmtpPort = m_pSmtpPort->value();
    settings.m_SmtpSecurity = m_pSmtpSecurity->currentIndex();
    settings.m_SmtpUserName = m_pSmtpUserName->text().trimmed();
    settings.m_SmtpFromAddress = m_pSmtpFromAddress->text().trimmed();
    settings.m_SmtpPasswordFile = m_pSmtpPasswordFile->text().trimmed();
    settings.m_TlsCaFile = m_pTlsCaFile->text().trimmed();
    settings.m_bMinimizeToTray = m_pMinimizeToTray->isChecked();
    settings.m_bAutoStart = m_pAutoStart->isChecked();
    settings.m_AutoOpenFileName = m_pAutoOpenFileName->text();
    settings.m_bAutoOpenTasks = m_pAutoOpenTasks->isChecked();
    settings.m_bAnimateIcon = m_pAnimateIcon->isChecked();
    settings.m_bDesktopNotifications = m_pDesktopNotifications->isChecked();
    settings.m_SpiderConnections = m_pSpiderConnections->value();
}

QStringList CGeneralPreferencesPage::GetAutoStartArguments(const CAppSettings& settings)
{
    if (!settings.m_bAutoOpenTasks)
        return {};
    // Without a file the start still goes to the tray, as the entry promised; it just opens
    // nothing (an empty argument would be a file that cannot be opened).
    QStringList arguments;
    if (!settings.m_AutoOpenFileName.isEmpty())
        arguments << settings.m_AutoOpenFileName;
    arguments << QStringLiteral("-minimize");
    return arguments;
}

void CGeneralPreferencesPage::WriteAutoStart(const CAppSettings& settings)
{
    CAutoStartKey key;
    key.SetArguments(GetAutoStartArguments(settings));
    if (settings.m_bAutoStart)
        key.Register();
    else
        key.Unregister();
}

void CGeneralPreferencesPage::UpdateEnabling()
{
    const bool autoStart = m_pAutoStart->isChecked();
    const bool openFile = autoStart && m_pAutoOpenTasks->isChecked();
    m_pAutoOpenTasks->setEnabled(autoStart);
    m_pAutoOpenFileName->setEnabled(openFile);
    m_pBrowseTaskFile->setEnabled(openFile);
    // A password file, or the environment, wins over the secret store, so a password typed
    // here would never be used.
    const bool login = !m_pSmtpUserName->text().trimmed().isEmpty();
    m_pSmtpPassword->setEnabled(login && m_pSmtpPasswordFile->text().trimmed().isEmpty()
                                && qEnvironmentVariableIsEmpty(kSmtpPasswordVariable));
    m_pSendTestMail->setEnabled(!m_bSending);
}

void CGeneralPreferencesPage::UpdatePasswordLocation()
{
    CAppSettings settings;
    Store(settings);
    m_pPasswordLocation->setText(DescribePasswordLocation(settings));
}

bool CGeneralPreferencesPage::StorePassword()
{
    const QString password = m_pSmtpPassword->text();
    if (password.isEmpty() || !m_pSmtpPassword->isEnabled())
        return true;
    const QString userName = m_pSmtpUserName->text().trimmed();
    const QString server = m_pSmtpServerName->text().trimmed();
    QString error;
    if (!IsSecretStoreAvailable()) {
        error = QStringLiteral("No secret store is available to keep the password, and it is never written to the "
                               "settings. Put it on the first line of a file only you can read and name that file "
                               "under \"Password file\", or set the environment variable %1; then clear the "
                               "password field.")
                    .arg(QLatin1String(kSmtpPasswordVariable));
    } else {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        const bool written = WriteSecretStorePassword(userName, server, password, error);
        QApplication::restoreOverrideCursor();
        if (written) {
            m_pSmtpPassword->clear();
            return true;
        }
    }
    QMessageBox box(QMessageBox::Warning, QStringLiteral(CORVANE_PRODUCT_NAME), error, QMessageBox::Ok, this);
    box.exec();
    // After the sheet has brought this page to the front.
    QTimer::singleShot(0, m_pSmtpPassword, [edit = m_pSmtpPassword] { edit->setFocus(Qt::OtherFocusReason); });
    return false;
}

void CGeneralPreferencesPage::SendTestMail()
{
    CAppSettings settings = GetAppSettings();
    Store(settings);
    CMailMessage message;
    const QString addresses = m_AlertAddresses ? m_AlertAddresses() : settings.m_AlertEmailAddresses;
    if (!message.AddMultipleRecipients(addresses)) {
        ShowTestMailOutcome(true,
                            QStringLiteral("There is no alert e-mail address to send the test message to: "
                                           "enter one on the \"Default alert configuration\" page."));
        return;
    }
    message.m_sSubject = QStringLiteral(CORVANE_PRODUCT_NAME ": test message");
    message.m_sBody = QStringLiteral("Hello,\n\nThis is a test message from " CORVANE_PRODUCT_NAME
                                     ". Alert e-mails will reach you the same way.\n");
    std::optional<QString> password;
    if (m_pSmtpPassword->isEnabled() && !m_pSmtpPassword->text().isEmpty())
        password = m_pSmtpPassword->text();

    m_bSending = true;
    UpdateEnabling();
    m_pSendTestMail->setText(QStringLiteral("Sending..."));
    // The answer goes to the application object and looks at the page only there, on the UI
    // thread: the sheet may have been closed meanwhile. The pool is waited for when the
    // program ends, and a page that went has set the abort flag, so that wait is short.
    QPointer<CGeneralPreferencesPage> page(this);
    const std::shared_ptr<std::atomic<bool>> abort = m_pAbortTestMail;
    QThreadPool::globalInstance()->start([page, abort, settings, message, password] {
        const CMailOutcome outcome = DeliverMail(settings, message, abort.get(), password);
        QString text;
        if (outcome.IsSent()) {
            text = QStringLiteral("Test message sent to %1. The server answered: %2")
                       .arg(message.GetRecipients().constFirst().m_Address, outcome.m_Text);
        } else {
            text = outcome.LogText();
            if (outcome.m_Stage == CMailOutcome::eUnreachable && !outcome.m_Text.isEmpty())
                text += QLatin1Char(' ') + outcome.m_Text;
        }
        QCoreApplication* application = QCoreApplication::instance();
        if (!application)
            return;
        QMetaObject::invokeMethod(
            application,
            [page, failed = !outcome.IsSent(), text] {
                if (!page)
                    return;
                page->m_bSending = false;
                page->m_pSendTestMail->setText(QStringLiteral("Send test &e-mail"));
                page->UpdateEnabling();
                page->ShowTestMailOutcome(failed, text);
            },
            Qt::QueuedConnection);
    });
}

void CGeneralPreferencesPage::ShowTestMailOutcome(bool failed, const QString& text)
{
    QPointer<CGeneralPreferencesPage> page(this);
    QMessageBox box(failed ? QMessageBox::Warning : QMessageBox::Information, QStringLiteral(CORVANE_PRODUCT_NAME),
                    text, QMessageBox::Ok, this);
    box.exec();
    if (page)
        Q_EMIT page->TestMailFinished();
}

void CGeneralPreferencesPage::BrowseTaskFile()
{
    CFileRequest request;
    request.m_Filters
        = QStringList {QStringLiteral(CORVANE_PRODUCT_NAME " Files (*.cvn)"), QStringLiteral("All files (*)")};
    request.m_DefaultSuffix = QStringLiteral("cvn");
    request.m_CurrentPath = m_pAutoOpenFileName->text();
    const QString fileName = BrowseForFile(this, request);
    if (!fileName.isEmpty())
        m_pAutoOpenFileName->setText(fileName);
}

void CGeneralPreferencesPage::BrowseFileInto(QLineEdit* edit, const QStringList& filters)
{
    CFileRequest request;
    request.m_Filters = filters;
    request.m_CurrentPath = edit->text();
    const QString fileName = BrowseForFile(this, request);
    if (!fileName.isEmpty())
        edit->setText(fileName);
}
