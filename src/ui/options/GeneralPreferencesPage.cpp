#include "ui/options/GeneralPreferencesPage.h"

#include "Version.h"
#include "core/shell/AppSettings.h"
#include "core/support/AutoStart.h"
#include "ui/options/PageWidgets.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

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
    auto* smtpLabel = new QLabel(QStringLiteral("SMTP server name:"), this);
    m_pSmtpServerName = new QLineEdit(this);
    m_pSmtpServerName->setObjectName(QStringLiteral("SmtpServerName"));
    smtpLabel->setBuddy(m_pSmtpServerName);
    auto* smtpRow = new QHBoxLayout;
    smtpRow->addWidget(smtpLabel);
    smtpRow->addWidget(m_pSmtpServerName, 1);
    layout->addLayout(smtpRow, row++, 0, 1, 2);
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
    layout->setRowStretch(row, 1);

    connect(m_pAutoStart, &QCheckBox::toggled, this, &CGeneralPreferencesPage::UpdateEnabling);
    connect(m_pAutoOpenTasks, &QCheckBox::toggled, this, &CGeneralPreferencesPage::UpdateEnabling);
    connect(m_pBrowseTaskFile, &QToolButton::clicked, this, &CGeneralPreferencesPage::BrowseTaskFile);
    UpdateEnabling();
}

void CGeneralPreferencesPage::Load(const CAppSettings& settings)
{
    m_pSmtpServerName->setText(settings.m_SmtpServerName);
    m_pMinimizeToTray->setChecked(settings.m_bMinimizeToTray);
    // What the system holds, not the stored flag: the user may have removed the entry since.
    m_pAutoStart->setChecked(CAutoStartKey::IsRegistered());
    m_pAutoOpenFileName->setText(settings.m_AutoOpenFileName);
    m_pAutoOpenTasks->setChecked(settings.m_bAutoOpenTasks);
    m_pAnimateIcon->setChecked(false);
    m_pDesktopNotifications->setChecked(settings.m_bDesktopNotifications);
    UpdateEnabling();
}

void CGeneralPreferencesPage::Store(CAppSettings& settings) const
{
    settings.m_SmtpServerName = m_pSmtpServerName->text();
    settings.m_bMinimizeToTray = m_pMinimizeToTray->isChecked();
    settings.m_bAutoStart = m_pAutoStart->isChecked();
    settings.m_AutoOpenFileName = m_pAutoOpenFileName->text();
    settings.m_bAutoOpenTasks = m_pAutoOpenTasks->isChecked();
    settings.m_bAnimateIcon = m_pAnimateIcon->isChecked();
    settings.m_bDesktopNotifications = m_pDesktopNotifications->isChecked();
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
