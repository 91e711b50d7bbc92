#include "ui/options/HistoryPreferencesPage.h"

#include "Version.h"
#include "core/history/HistoryStore.h"
#include "core/shell/AppSettings.h"
#include "ui/options/PageWidgets.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QThreadPool>
#include <QUrl>
#include <QVBoxLayout>

namespace {

const QString kDefaultHost = QStringLiteral("localhost");
constexpr int kDefaultPort = 5432;

bool IsServerSetting(const QString& setting)
{
    const QString trimmed = setting.trimmed();
    return trimmed.startsWith(u"postgresql://", Qt::CaseInsensitive)
        || trimmed.startsWith(u"postgres://", Qt::CaseInsensitive);
}

QString DefaultFilePath()
{
    CHistoryLocation location;
    QString error;
    CHistoryLocation::Parse(QString(), location, &error);
    return location.m_Path;
}

// A label and its field side by side, the label's mnemonic leading to the field.
QLabel* AddField(QGridLayout* grid, int row, int column, const QString& text, QWidget* field)
{
    auto* label = new QLabel(text, field->parentWidget());
    label->setBuddy(field);
    grid->addWidget(label, row, column);
    grid->addWidget(field, row, column + 1);
    return label;
}

} // namespace

CHistoryPreferencesPage::CHistoryPreferencesPage(QWidget* parent)
    : QWidget(parent)
{
    // Controls are created in reading order, which is also their Tab order.
    auto* layout = new QGridLayout(this);
    layout->setColumnStretch(1, 1);
    int row = 0;
    const int indent = style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth) + 6;

    layout->addWidget(CreatePageIcon(QStyle::SP_FileDialogDetailedView, this), row, 0);
    layout->addWidget(CreateExplanation(QStringLiteral("Corvane can keep the result of every run, for the charts "
                                                       "and reports of the History tab."),
                                        this),
                      row++, 1);
    m_pHistoryEnabled = new QCheckBox(QStringLiteral("&Keep a history of results"), this);
    m_pHistoryEnabled->setObjectName(QStringLiteral("HistoryEnabled"));
    layout->addWidget(m_pHistoryEnabled, row++, 0, 1, 2);
    layout->addWidget(CreateSeparator(this), row++, 0, 1, 2);

    layout->addWidget(CreatePageIcon(QStyle::SP_DriveHDIcon, this), row, 0);
    layout->addWidget(CreateExplanation(QStringLiteral("Keep it in a file on this computer, or on a PostgreSQL server "
                                                       "that several Corvane programs share."),
                                        this),
                      row++, 1);
    m_pThisComputer = new QRadioButton(QStringLiteral("&This computer"), this);
    m_pThisComputer->setObjectName(QStringLiteral("HistoryThisComputer"));
    layout->addWidget(m_pThisComputer, row++, 0, 1, 2);
    m_pFilePath = new QLineEdit(this);
    m_pFilePath->setObjectName(QStringLiteral("HistoryFilePath"));
    m_pFilePath->setAccessibleName(QStringLiteral("History file"));
    m_pFilePath->setReadOnly(true);
    // Shown, not edited: no Tab stop, but it can still be selected and copied.
    m_pFilePath->setFocusPolicy(Qt::ClickFocus);
    auto* fileRow = new QHBoxLayout;
    fileRow->addSpacing(indent);
    fileRow->addWidget(m_pFilePath, 1);
    layout->addLayout(fileRow, row++, 0, 1, 2);

    m_pServer = new QRadioButton(QStringLiteral("&PostgreSQL server"), this);
    m_pServer->setObjectName(QStringLiteral("HistoryServer"));
    layout->addWidget(m_pServer, row++, 0, 1, 2);
    auto* group = new QButtonGroup(this);
    group->addButton(m_pThisComputer);
    group->addButton(m_pServer);

    auto* server = new QGridLayout;
    server->setColumnMinimumWidth(0, indent);
    server->setColumnStretch(2, 3);
    server->setColumnStretch(4, 1);
    m_pHost = new QLineEdit(this);
    m_pHost->setObjectName(QStringLiteral("HistoryHost"));
    m_pHost->setPlaceholderText(kDefaultHost);
    m_pHostLabel = AddField(server, 0, 1, QStringLiteral("&Host:"), m_pHost);
    m_pPort = new QSpinBox(this);
    m_pPort->setObjectName(QStringLiteral("HistoryPort"));
    m_pPort->setRange(1, 65535);
    m_pPort->setValue(kDefaultPort);
    m_pPortLabel = AddField(server, 0, 3, QStringLiteral("P&ort:"), m_pPort);
    m_pDatabase = new QLineEdit(this);
    m_pDatabase->setObjectName(QStringLiteral("HistoryDatabaseName"));
    m_pDatabaseLabel = AddField(server, 1, 1, QStringLiteral("&Database:"), m_pDatabase);
    m_pUser = new QLineEdit(this);
    m_pUser->setObjectName(QStringLiteral("HistoryUser"));
    m_pUserLabel = AddField(server, 1, 3, QStringLiteral("&User:"), m_pUser);
    m_pPasswordNote = CreateExplanation(QStringLiteral("The password is read from ~/.pgpass (or the file PGPASSFILE "
                                                       "names), never stored here."),
                                        this);
    server->addWidget(m_pPasswordNote, 2, 1, 1, 4);
    layout->addLayout(server, row++, 0, 1, 2);

    m_pTestConnection = new QPushButton(QStringLiteral("Test co&nnection"), this);
    m_pTestConnection->setObjectName(QStringLiteral("HistoryTestConnection"));
    auto* testRow = new QHBoxLayout;
    testRow->addSpacing(indent);
    testRow->addWidget(m_pTestConnection);
    testRow->addStretch(1);
    layout->addLayout(testRow, row++, 0, 1, 2);
    layout->addWidget(CreateSeparator(this), row++, 0, 1, 2);

    layout->addWidget(CreatePageIcon(QStyle::SP_BrowserReload, this), row, 0);
    m_pRetentionNote = CreateExplanation(QStringLiteral("Every result is kept for the days below. Older results "
                                                        "are kept as hourly and daily summaries, so the charts still "
                                                        "reach back further."),
                                         this);
    layout->addWidget(m_pRetentionNote, row++, 1);
    m_pRetentionDays = new QSpinBox(this);
    m_pRetentionDays->setObjectName(QStringLiteral("HistoryRetentionDays"));
    m_pRetentionDays->setRange(kMinRetentionDays, kMaxRetentionDays);
    m_pRetentionDays->setValue(90);
    m_pRetentionLabel = new QLabel(QStringLiteral("Keep results &for"), this);
    m_pRetentionLabel->setBuddy(m_pRetentionDays);
    m_pRetentionDaysLabel = new QLabel(QStringLiteral("days"), this);
    m_pClearHistory = new QPushButton(QStringLiteral("&Clear history..."), this);
    m_pClearHistory->setObjectName(QStringLiteral("HistoryClear"));
    auto* retentionRow = new QHBoxLayout;
    retentionRow->addWidget(m_pRetentionLabel);
    retentionRow->addWidget(m_pRetentionDays);
    retentionRow->addWidget(m_pRetentionDaysLabel);
    retentionRow->addStretch(1);
    retentionRow->addWidget(m_pClearHistory);
    layout->addLayout(retentionRow, row++, 0, 1, 2);
    layout->addWidget(CreateSeparator(this), row++, 0, 1, 2);

    // The latest results for Prometheus; read at the start, like the address of any server.
    layout->addWidget(CreatePageIcon(QStyle::SP_ComputerIcon, this), row, 0);
    layout->addWidget(CreateExplanation(QStringLiteral("Prometheus can read every task's latest result at "
                                                       "http://ADDRESS:PORT/metrics. Leave the address empty to "
                                                       "serve nothing. Takes effect at the next start."),
                                        this),
                      row++, 1);
    m_pMetricsListen = new QLineEdit(this);
    m_pMetricsListen->setObjectName(QStringLiteral("MetricsListen"));
    m_pMetricsListen->setPlaceholderText(QStringLiteral("Off (for instance 127.0.0.1:9100)"));
    auto* metricsLabel = new QLabel(QStringLiteral("Serve &metrics at:"), this);
    metricsLabel->setBuddy(m_pMetricsListen);
    auto* metricsRow = new QHBoxLayout;
    metricsRow->addWidget(metricsLabel);
    metricsRow->addWidget(m_pMetricsListen, 1);
    layout->addLayout(metricsRow, row++, 0, 1, 2);
    m_pMetricsAllowRemote
        = new QCheckBox(QStringLiteral("Allow an address other computers can &reach (not only this computer)"), this);
    m_pMetricsAllowRemote->setObjectName(QStringLiteral("MetricsAllowRemote"));
    layout->addWidget(m_pMetricsAllowRemote, row++, 0, 1, 2);
    layout->setRowStretch(row, 1);

    connect(m_pHistoryEnabled, &QCheckBox::toggled, this, &CHistoryPreferencesPage::UpdateEnabling);
    connect(m_pServer, &QRadioButton::toggled, this, &CHistoryPreferencesPage::UpdateEnabling);
    connect(m_pTestConnection, &QPushButton::clicked, this, &CHistoryPreferencesPage::TestConnection);
    connect(m_pClearHistory, &QPushButton::clicked, this, &CHistoryPreferencesPage::ClearHistory);

    m_pHistoryEnabled->setChecked(true);
    m_pThisComputer->setChecked(true);
    m_pFilePath->setText(QDir::toNativeSeparators(DefaultFilePath()));
    UpdateEnabling();
}

void CHistoryPreferencesPage::Load(const CAppSettings& settings)
{
    m_pHistoryEnabled->setChecked(settings.m_bHistoryEnabled);
    m_pRetentionDays->setValue(settings.m_HistoryRetentionDays);
    m_pMetricsListen->setText(settings.m_MetricsListen);
    m_pMetricsAllowRemote->setChecked(settings.m_bMetricsAllowRemote);

    m_LoadedSetting = settings.m_HistoryDatabase;
    m_FileSetting.clear();
    m_ServerOptions.clear();
    m_pHost->clear();
    m_pPort->setValue(kDefaultPort);
    m_pDatabase->clear();
    m_pUser->clear();
    if (IsServerSetting(m_LoadedSetting)) {
        CHistoryLocation location;
        QString error;
        if (CHistoryLocation::Parse(m_LoadedSetting, location, &error)) {
            m_pHost->setText(location.m_Host);
            m_pPort->setValue(location.m_Port);
            m_pDatabase->setText(location.m_Database);
            m_pUser->setText(location.m_User);
        } else {
            // Shown as far as it can be read; unless it is changed it is stored as it was.
            const QUrl url(m_LoadedSetting.trimmed());
            m_pHost->setText(url.host());
            m_pPort->setValue(url.port(kDefaultPort));
            m_pDatabase->setText(url.path().mid(1));
            m_pUser->setText(url.userName());
        }
        // As written, not as the store hands them on to libpq.
        m_ServerOptions = QUrl(m_LoadedSetting.trimmed()).query(QUrl::FullyEncoded);
        m_pServer->setChecked(true);
    } else {
        m_FileSetting = m_LoadedSetting.trimmed();
        m_pThisComputer->setChecked(true);
    }
    m_pFilePath->setText(QDir::toNativeSeparators(m_FileSetting.isEmpty() ? DefaultFilePath() : m_FileSetting));
    m_pFilePath->setCursorPosition(0);
    m_LoadedBuilt = BuildSetting();
    UpdateEnabling();
}

void CHistoryPreferencesPage::Store(CAppSettings& settings) const
{
    settings.m_bHistoryEnabled = m_pHistoryEnabled->isChecked();
    settings.m_HistoryRetentionDays = m_pRetentionDays->value();
    settings.m_HistoryDatabase = GetDatabaseSetting();
    settings.m_MetricsListen = m_pMetricsListen->text().trimmed();
    settings.m_bMetricsAllowRemote = m_pMetricsAllowRemote->isChecked();
}

QString CHistoryPreferencesPage::GetDatabaseSetting() const
{
    const QString built = BuildSetting();
    return built == m_LoadedBuilt ? m_LoadedSetting : built;
}

QString CHistoryPreferencesPage::BuildSetting() const
{
    if (m_pThisComputer->isChecked())
        return m_FileSetting;
    QUrl url;
    url.setScheme(QStringLiteral("postgresql"));
    url.setUserName(m_pUser->text().trimmed());
    const QString host = m_pHost->text().trimmed();
    url.setHost(host.isEmpty() ? kDefaultHost : host);
    url.setPort(m_pPort->value());
    url.setPath(u'/' + m_pDatabase->text().trimmed());
    if (!m_ServerOptions.isEmpty())
        url.setQuery(m_ServerOptions);
    return url.toString(QUrl::FullyEncoded);
}

bool CHistoryPreferencesPage::GetLocation(CHistoryLocation& location, QString* error) const
{
    return CHistoryLocation::Parse(GetDatabaseSetting(), location, error);
}

void CHistoryPreferencesPage::UpdateEnabling()
{
    const bool enabled = m_pHistoryEnabled->isChecked();
    const bool server = enabled && m_pServer->isChecked();
    for (QWidget* control : {static_cast<QWidget*>(m_pThisComputer), static_cast<QWidget*>(m_pServer),
                             static_cast<QWidget*>(m_pRetentionLabel), static_cast<QWidget*>(m_pRetentionDays),
                             static_cast<QWidget*>(m_pRetentionDaysLabel), static_cast<QWidget*>(m_pRetentionNote)})
        control->setEnabled(enabled);
    m_pFilePath->setEnabled(enabled && m_pThisComputer->isChecked());
    // Tab stops at the chosen database, as in other option dialogs; the arrow keys move
    // between the two.
    m_pThisComputer->setFocusPolicy(m_pThisComputer->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
    m_pServer->setFocusPolicy(m_pServer->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
    for (QWidget* control :
         {static_cast<QWidget*>(m_pHostLabel), static_cast<QWidget*>(m_pHost), static_cast<QWidget*>(m_pPortLabel),
          static_cast<QWidget*>(m_pPort), static_cast<QWidget*>(m_pDatabaseLabel), static_cast<QWidget*>(m_pDatabase),
          static_cast<QWidget*>(m_pUserLabel), static_cast<QWidget*>(m_pUser), static_cast<QWidget*>(m_pPasswordNote)})
        control->setEnabled(server);
    // A button whose work is under way stays disabled until it has ended.
    m_pTestConnection->setEnabled(enabled && m_nBusy == 0);
    m_pClearHistory->setEnabled(enabled && m_nBusy == 0);
}

void CHistoryPreferencesPage::TestConnection()
{
    CHistoryLocation location;
    QString error;
    if (!GetLocation(location, &error)) {
        ShowMessage(true, error);
        return;
    }
    RunInBackground(m_pTestConnection, location, [](const CHistoryLocation& where, bool& failed) {
        CHistoryStore store;
        QString reason;
        failed = !store.Open(where, &reason);
        if (failed)
            return QStringLiteral("Cannot connect to %1: %2").arg(where.Describe(), reason);
        store.Close();
        return QStringLiteral("Connected to %1.").arg(where.Describe());
    });
}

void CHistoryPreferencesPage::ClearHistory()
{
    CHistoryLocation location;
    QString error;
    if (!GetLocation(location, &error)) {
        ShowMessage(true, error);
        return;
    }
    if (location.m_Kind == CHistoryLocation::eSqlite && !QFileInfo::exists(location.m_Path)) {
        ShowMessage(false, QStringLiteral("There is no history in %1 yet.").arg(location.Describe()));
        return;
    }
    QMessageBox confirm(QMessageBox::Warning, QStringLiteral(CORVANE_PRODUCT_NAME),
                        QStringLiteral("Clear the history in %1?\n\nEvery result recorded there is deleted, also those "
                                       "of other programs that share it. This cannot be undone.")
                            .arg(location.Describe()),
                        QMessageBox::Yes | QMessageBox::No, this);
    confirm.setDefaultButton(QMessageBox::No);
    if (confirm.exec() != QMessageBox::Yes)
        return;
    RunInBackground(m_pClearHistory, location, [](const CHistoryLocation& where, bool& failed) {
        CHistoryStore store;
        QString reason;
        failed = !store.Open(where, &reason) || !store.Clear(&reason);
        if (failed)
            return QStringLiteral("Cannot clear the history in %1: %2").arg(where.Describe(), reason);
        store.Close();
        return QStringLiteral("The history in %1 was cleared.").arg(where.Describe());
    });
}

void CHistoryPreferencesPage::RunInBackground(QPushButton* button, const CHistoryLocation& location,
                                              std::function<QString(const CHistoryLocation&, bool& failed)> work)
{
    ++m_nBusy;
    UpdateEnabling();
    const QString caption = button->text();
    button->setText(QStringLiteral("Working..."));
    // The page may be gone when the work ends (the sheet was closed): the answer goes to the
    // application object, and the page is looked at only there, on the UI thread. The pool
    // is waited for when the application ends, so no connection is cut off half-way.
    QPointer<CHistoryPreferencesPage> page(this);
    QPointer<QPushButton> pressed(button);
    QThreadPool::globalInstance()->start([page, pressed, caption, location, work = std::move(work)] {
        bool failed = true;
        const QString text = work(location, failed);
        QCoreApplication* application = QCoreApplication::instance();
        if (!application) // the program is ending
            return;
        QMetaObject::invokeMethod(
            application,
            [page, pressed, caption, failed, text] {
                if (!page)
                    return;
                if (pressed)
                    pressed->setText(caption);
                --page->m_nBusy;
                page->UpdateEnabling();
                page->ShowMessage(failed, text);
                if (page)
                    Q_EMIT page->WorkFinished();
            },
            Qt::QueuedConnection);
    });
}

void CHistoryPreferencesPage::ShowMessage(bool failed, const QString& text)
{
    QMessageBox box(failed ? QMessageBox::Warning : QMessageBox::Information, QStringLiteral(CORVANE_PRODUCT_NAME),
                    text, QMessageBox::Ok, this);
    box.exec();
}
