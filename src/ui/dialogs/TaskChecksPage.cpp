#include "ui/dialogs/TaskChecksPage.h"

#include "core/shell/AppSettings.h"
#include "core/tasks/CheckOptions.h"
#include "core/tasks/Task.h"
#include "ui/dialogs/SheetPrompts.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTextBlock>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kMinTimeout = 1;
constexpr int kMaxTimeout = 99;
// The most transfers a crawl keeps in flight to one site; the engine holds to the same bound.
constexpr int kMaxSpiderConnections = 32;
constexpr int kMaxTcpPort = 65535;
// What the limits' fields show while their boxes are cleared: the certificate warning of a new
// task, and a response time most sites keep to.
constexpr int kSuggestedCertWarnDays = 14;
constexpr int kSuggestedMaxResponseMs = 2000;
// Bounds far past any use: browsers accept no certificate that lasts over 398 days, and no
// check waits longer than its time-out of at most 99 seconds.
constexpr int kMaxCertWarnDays = 999;
constexpr int kMaxResponseMs = 999999;
const QString kDefaultAcceptedStatus = QStringLiteral("200-299");

QLabel* NewBuddyLabel(const QString& text, QWidget* buddy, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setBuddy(buddy);
    return label;
}

} // namespace

CTaskChecksPage::CTaskChecksPage(QWidget* parent)
    : CTaskPage(QStyle::SP_DialogApplyButton,
                QStringLiteral("Specify what checks Vigrel need to make for the current task. Timeout value applies "
                               "to all of the network operations."),
                parent)
{
    auto named = [](auto* widget, const char* name) {
        widget->setObjectName(QLatin1String(name));
        return widget;
    };

    // Created in the order Tab should visit them.
    m_pTimeout = named(new QLineEdit(this), "timeout");
    m_pTimeout->setMaxLength(9);
    m_pTimeout->setMaximumWidth(m_pTimeout->fontMetrics().horizontalAdvance(QStringLiteral("0")) * 6 + 16);
    m_pPing = named(new QRadioButton(QStringLiteral("&Ping"), this), "ping");
    m_pTcp = named(new QRadioButton(QStringLiteral("TCP po&rt"), this), "tcp");
    m_pPingHost = named(new QLineEdit(this), "pingHost");
    m_pTcpPort = named(NewDigitsEdit(this), "tcpPort");
    m_pTcpPort->setMaxLength(5);
    m_pTcpPort->setMaximumWidth(m_pTcpPort->fontMetrics().horizontalAdvance(QStringLiteral("0")) * 7 + 16);
    m_pTcpSend = named(new QLineEdit(this), "tcpSend");
    m_pTcpSend->setPlaceholderText(QStringLiteral("Optional: a line sent once connected"));
    m_pTcpExpect = named(new QLineEdit(this), "tcpExpect");
    m_pTcpExpect->setPlaceholderText(QStringLiteral("Optional: a text the server must answer with"));
    m_pHttpGet = named(new QRadioButton(QStringLiteral("Single HTTP &Get"), this), "httpGet");
    m_pHttpUrl = named(new QLineEdit(this), "httpUrl");
    m_pHttpTest = named(new QPushButton(QStringLiteral("Test"), this), "httpTest");
    m_pLookForString = named(new QCheckBox(QStringLiteral("&Look for string"), this), "lookForString");
    m_pPattern = named(new QLineEdit(this), "pattern");
    m_pSpider = named(new QRadioButton(QStringLiteral("Spider site"), this), "spider");
    m_pSpiderUrl = named(new QLineEdit(this), "spiderUrl");
    m_pSpiderTest = named(new QPushButton(QStringLiteral("Test"), this), "spiderTest");
    m_pLimitPages = named(new QCheckBox(QStringLiteral("Scan maximum"), this), "limitPages");
    m_pMaxPages = named(NewDigitsEdit(this), "maxPages");
    m_pLimitDepth = named(new QCheckBox(QStringLiteral("Go only"), this), "limitDepth");
    m_pMaxDepth = named(NewDigitsEdit(this), "maxDepth");
    m_pSpiderConnections = named(new QSpinBox(this), "spiderConnections");
    // 0 stands for the number in Options, shown by SetUp since that may change between two
    // openings of the sheet.
    m_pSpiderConnections->setRange(0, kMaxSpiderConnections);
    m_pSpiderConnections->setToolTip(QStringLiteral("How many pages of the site the crawl fetches at a time. "
                                                    "Default: the number set in Options."));
    m_pSpiderCheckExternal
        = named(new QCheckBox(QStringLiteral("Also check links to &other sites"), this), "spiderCheckExternal");
    m_pSpiderCheckExternal->setToolTip(QStringLiteral("Each link to another site is fetched once to see that it "
                                                      "works; those sites are never crawled."));

    m_pAdvancedToggle = named(new QToolButton(this), "advancedToggle");
    m_pAdvancedToggle->setText(QStringLiteral("A&dvanced"));
    m_pAdvancedToggle->setAutoRaise(true);
    m_pAdvancedToggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    // Each limit's box, number and unit hide and show together.
    auto* certRow = new QWidget(this);
    m_pCertWarn
        = named(new QCheckBox(QStringLiteral("&Warn when the certificate expires in fewer than"), certRow), "certWarn");
    m_pCertWarn->setToolTip(QStringLiteral("An https check fails when the server's certificate runs out within "
                                           "this many days, in time to renew it."));
    m_pCertWarnDays = named(new QSpinBox(certRow), "certWarnDays");
    m_pCertWarnDays->setRange(1, kMaxCertWarnDays);
    auto* responseRow = new QWidget(this);
    m_pResponseLimit
        = named(new QCheckBox(QStringLiteral("&Fail when the answer takes longer than"), responseRow), "responseLimit");
    m_pResponseLimit->setToolTip(QStringLiteral("A page's whole transfer, a ping's round trip, the connection to a "
                                                "TCP port."));
    m_pMaxResponseMs = named(new QSpinBox(responseRow), "maxResponseMs");
    m_pMaxResponseMs->setRange(1, kMaxResponseMs);
    m_pUnwanted = named(new QLineEdit(this), "unwanted");
    m_pUnwanted->setPlaceholderText(QStringLiteral("Text such as an error message"));
    m_pAcceptedStatus = named(new QLineEdit(this), "acceptedStatus");
    m_pAcceptedStatus->setPlaceholderText(kDefaultAcceptedStatus);
    m_pAcceptedStatus->setToolTip(QStringLiteral("Status codes and ranges of them, separated by commas, for "
                                                 "example \"200-299, 301, 401\"."));
    m_pHeaders = named(new QPlainTextEdit(this), "headers");
    m_pHeaders->setPlaceholderText(QStringLiteral("One header per line, such as\nAuthorization: Bearer 0123abcd"));
    // Tab is for moving on: a header never holds one.
    m_pHeaders->setTabChangesFocus(true);
    m_pHeaders->setLineWrapMode(QPlainTextEdit::NoWrap);
    // Three lines: most checks send a header or two.
    m_pHeaders->setFixedHeight(m_pHeaders->fontMetrics().lineSpacing() * 3
                               + int(m_pHeaders->document()->documentMargin() * 2) + m_pHeaders->frameWidth() * 2);

    // Room for a typical URL whole; longer ones start at their scheme, not scrolled to the end.
    for (QLineEdit* url : {m_pHttpUrl, m_pSpiderUrl})
        url->setMinimumWidth(url->fontMetrics().horizontalAdvance(u'x') * 34);

    auto* timeoutRow = new QHBoxLayout;
    timeoutRow->addWidget(NewBuddyLabel(QStringLiteral("&Timeout:"), m_pTimeout, this));
    timeoutRow->addWidget(m_pTimeout);
    timeoutRow->addWidget(new QLabel(QStringLiteral("seconds"), this));
    timeoutRow->addStretch(1);
    Body()->addLayout(timeoutRow);

    // Every check's own controls sit indented under its radio button.
    auto* grid = new QGridLayout;
    grid->setColumnMinimumWidth(0, 20);
    grid->setColumnStretch(2, 1);
    int row = 0;
    grid->addWidget(m_pPing, row++, 0, 1, 4);
    // The ping and the TCP check share their host: one field under both, with the port beside it.
    grid->addWidget(m_pTcp, row++, 0, 1, 4);
    auto* hostRow = new QHBoxLayout;
    hostRow->addWidget(m_pPingHost, 1);
    hostRow->addWidget(NewBuddyLabel(QStringLiteral("Port:"), m_pTcpPort, this));
    hostRow->addWidget(m_pTcpPort);
    grid->addWidget(NewBuddyLabel(QStringLiteral("IP &address or site name:"), m_pPingHost, this), row, 1);
    grid->addLayout(hostRow, row++, 2, 1, 2);
    grid->addWidget(NewBuddyLabel(QStringLiteral("&Send:"), m_pTcpSend, this), row, 1);
    grid->addWidget(m_pTcpSend, row++, 2, 1, 2);
    grid->addWidget(NewBuddyLabel(QStringLiteral("E&xpect in the answer:"), m_pTcpExpect, this), row, 1);
    grid->addWidget(m_pTcpExpect, row++, 2, 1, 2);

    grid->addWidget(m_pHttpGet, row++, 0, 1, 4);
    grid->addWidget(NewBuddyLabel(QStringLiteral("URL:"), m_pHttpUrl, this), row, 1);
    grid->addWidget(m_pHttpUrl, row, 2);
    grid->addWidget(m_pHttpTest, row++, 3);
    grid->addWidget(m_pLookForString, row, 1);
    grid->addWidget(m_pPattern, row++, 2, 1, 2);

    grid->addWidget(m_pSpider, row++, 0, 1, 4);
    grid->addWidget(NewBuddyLabel(QStringLiteral("URL:"), m_pSpiderUrl, this), row, 1);
    grid->addWidget(m_pSpiderUrl, row, 2);
    grid->addWidget(m_pSpiderTest, row++, 3);
    auto limitRow = [&](QCheckBox* box, QLineEdit* edit, const QString& unit) {
        auto* line = new QHBoxLayout;
        line->addWidget(edit);
        line->addWidget(new QLabel(unit, this));
        line->addStretch(1);
        grid->addWidget(box, row, 1);
        grid->addLayout(line, row++, 2, 1, 2);
    };
    limitRow(m_pLimitPages, m_pMaxPages, QStringLiteral("page(s)"));
    limitRow(m_pLimitDepth, m_pMaxDepth, QStringLiteral("level(s) deep"));
    auto* connectionsRow = new QHBoxLayout;
    connectionsRow->addWidget(m_pSpiderConnections);
    connectionsRow->addStretch(1);
    grid->addWidget(NewBuddyLabel(QStringLiteral("&Connections per site:"), m_pSpiderConnections, this), row, 1);
    grid->addLayout(connectionsRow, row++, 2, 1, 2);
    grid->addWidget(m_pSpiderCheckExternal, row++, 1, 1, 3);

    // In the same grid as the checks, so that its labels and fields line up with theirs.
    grid->addWidget(m_pAdvancedToggle, row++, 0, 1, 4);
    auto limitLine = [&](QWidget* holder, QCheckBox* box, QSpinBox* spin, const QString& unit) {
        auto* line = new QHBoxLayout(holder);
        line->setContentsMargins(0, 0, 0, 0);
        line->addWidget(box);
        line->addWidget(spin);
        line->addWidget(new QLabel(unit, holder));
        line->addStretch(1);
        grid->addWidget(holder, row++, 1, 1, 3);
        m_AdvancedWidgets << holder;
    };
    limitLine(certRow, m_pCertWarn, m_pCertWarnDays, QStringLiteral("days"));
    limitLine(responseRow, m_pResponseLimit, m_pMaxResponseMs, QStringLiteral("ms"));
    // Wide enough for these labels while they hide too, so the fields stay put as they show.
    int labelWidth = 0;
    auto fieldLine = [&](const QString& label, QWidget* field) {
        QLabel* buddy = NewBuddyLabel(label, field, this);
        labelWidth = std::max(labelWidth, buddy->sizeHint().width());
        grid->addWidget(buddy, row, 1);
        grid->addWidget(field, row++, 2, 1, 2);
        m_AdvancedWidgets << buddy << field;
        return buddy;
    };
    fieldLine(QStringLiteral("Fail if the page co&ntains:"), m_pUnwanted);
    fieldLine(QStringLiteral("Acc&ept these status codes:"), m_pAcceptedStatus);
    // Beside the first line of several.
    fieldLine(QStringLiteral("Request &headers:"), m_pHeaders)->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    grid->setColumnMinimumWidth(1, labelWidth);
    Body()->addLayout(grid);
    Body()->addStretch(1);
    connect(m_pAdvancedToggle, &QToolButton::clicked, this, [this] { ShowAdvanced(!m_bAdvancedShown); });
    ShowAdvanced(false);

    for (QAbstractButton* button :
         std::initializer_list<QAbstractButton*> {m_pPing, m_pTcp, m_pHttpGet, m_pSpider, m_pLookForString,
                                                  m_pLimitPages, m_pLimitDepth, m_pCertWarn, m_pResponseLimit})
        connect(button, &QAbstractButton::toggled, this, &CTaskChecksPage::UpdateEnabling);
    connect(m_pHttpTest, &QPushButton::clicked, this, [this] { OpenUrlOf(m_pHttpUrl); });
    connect(m_pSpiderTest, &QPushButton::clicked, this, [this] { OpenUrlOf(m_pSpiderUrl); });
    UpdateEnabling();
}

void CTaskChecksPage::SetUp(const CTask& task)
{
    m_pPingHost->setText(task.m_PingHost);
    m_pHttpUrl->setText(task.m_HttpGetURL);
    m_pPattern->setText(task.m_ExpectedPattern);
    m_pTimeout->setText(QString::number(task.m_TimeoutSec));
    m_pSpiderUrl->setText(task.m_SpiderUrl);
    m_pMaxDepth->setText(QString::number(task.m_SpiderMaxDepth));
    m_pMaxPages->setText(QString::number(task.m_SpiderMaxPageNumber));
    for (QLineEdit* field : {m_pPingHost, m_pHttpUrl, m_pPattern, m_pSpiderUrl})
        field->setCursorPosition(0);
    m_pLimitPages->setChecked(task.m_bSpiderLimitPageNumber);
    m_pLimitDepth->setChecked(task.m_bSpiderLimitDepth);
    m_pSpiderConnections->setSpecialValueText(QStringLiteral("Default (%1)").arg(GetAppSettings().m_SpiderConnections));
    // Out of range only in a file edited by hand. The crawl already takes a number below 1 as
    // the default and one above the bound as the bound, so the clamped value crawls alike.
    m_pSpiderConnections->setValue(std::clamp(task.m_SpiderConnections, 0, kMaxSpiderConnections));
    m_pSpiderCheckExternal->setChecked(task.m_bSpiderCheckExternal);
    // No port yet reads better as an empty field than as a 0 to type over.
    m_pTcpPort->setText(task.m_TcpPort > 0 ? QString::number(task.m_TcpPort) : QString());
    m_pTcpSend->setText(task.m_TcpSend);
    m_pTcpExpect->setText(task.m_TcpExpect);
    // Out of range only in a file edited by hand; the clamped number warns or limits alike.
    m_pCertWarn->setChecked(task.m_CertWarnDays > 0);
    m_pCertWarnDays->setValue(task.m_CertWarnDays > 0 ? std::min(task.m_CertWarnDays, kMaxCertWarnDays)
                                                      : kSuggestedCertWarnDays);
    m_pResponseLimit->setChecked(task.m_MaxResponseMs > 0);
    m_pMaxResponseMs->setValue(task.m_MaxResponseMs > 0 ? std::min(task.m_MaxResponseMs, kMaxResponseMs)
                                                        : kSuggestedMaxResponseMs);
    m_pUnwanted->setText(task.m_UnwantedPattern);
    m_pAcceptedStatus->setText(task.m_AcceptedStatus);
    m_pHeaders->setPlainText(QString(task.m_HttpHeaders).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    for (QLineEdit* field : {m_pTcpSend, m_pTcpExpect, m_pUnwanted})
        field->setCursorPosition(0);
    // Closed unless the task uses an option in it, so that nothing set there goes unseen. The
    // certificate warning counts only at a number of its own: a new task warns at 14 days, a
    // task from a file older than the warning has it off.
    const bool advancedUsed = (task.m_CertWarnDays != 0 && task.m_CertWarnDays != kSuggestedCertWarnDays)
        || task.m_MaxResponseMs != 0 || !task.m_UnwantedPattern.isEmpty()
        || task.m_AcceptedStatus != kDefaultAcceptedStatus || !task.m_HttpHeaders.isEmpty();
    ShowAdvanced(advancedUsed);
    switch (task.m_CheckAction) {
    case eCheckHttpGet:
    case eCheckHttpGetPattern:
        m_pHttpGet->setChecked(true);
        break;
    case eCheckSpider:
        m_pSpider->setChecked(true);
        break;
    case eCheckTcp:
        m_pTcp->setChecked(true);
        break;
    default:
        // A new task (0), and any code the engine does not know, start as a ping.
        m_pPing->setChecked(true);
        break;
    }
    m_pLookForString->setChecked(task.m_CheckAction == eCheckHttpGetPattern);
    UpdateEnabling();
}

int CTaskChecksPage::CheckAction() const
{
    if (m_pPing->isChecked())
        return eCheckPing;
    if (m_pTcp->isChecked())
        return eCheckTcp;
    if (m_pSpider->isChecked())
        return eCheckSpider;
    return m_pLookForString->isChecked() ? eCheckHttpGetPattern : eCheckHttpGet;
}

void CTaskChecksPage::Confirm(CTask& task)
{
    task.m_CheckAction = CheckAction();
    task.m_PingHost = m_pPingHost->text();
    task.m_HttpGetURL = m_pHttpUrl->text();
    task.m_ExpectedPattern = m_pPattern->text();
    task.m_SpiderUrl = m_pSpiderUrl->text();
    task.m_TimeoutSec = m_pTimeout->text().trimmed().toInt();
    task.m_SpiderMaxDepth = DigitsValue(m_pMaxDepth);
    task.m_SpiderMaxPageNumber = DigitsValue(m_pMaxPages);
    task.m_bSpiderLimitPageNumber = m_pLimitPages->isChecked();
    task.m_bSpiderLimitDepth = m_pLimitDepth->isChecked();
    task.m_SpiderConnections = m_pSpiderConnections->value();
    task.m_bSpiderCheckExternal = m_pSpiderCheckExternal->isChecked();
    task.m_TcpPort = DigitsValue(m_pTcpPort);
    task.m_TcpSend = m_pTcpSend->text();
    task.m_TcpExpect = m_pTcpExpect->text();
    task.m_CertWarnDays = m_pCertWarn->isChecked() ? m_pCertWarnDays->value() : 0;
    task.m_MaxResponseMs = m_pResponseLimit->isChecked() ? m_pMaxResponseMs->value() : 0;
    task.m_UnwantedPattern = m_pUnwanted->text();
    task.m_AcceptedStatus = m_pAcceptedStatus->text().trimmed();
    QString headers = m_pHeaders->toPlainText();
    while (headers.endsWith(u'\n'))
        headers.chop(1);
    task.m_HttpHeaders = headers.replace(u'\n', QStringLiteral("\r\n"));
}

bool CTaskChecksPage::CanLeave()
{
    // Only the chosen check's URL is held to the rule: the other one is disabled, so the
    // user could neither see the focus land in it nor correct it without changing checks.
    if (m_pHttpGet->isChecked() && !CheckUrl(m_pHttpUrl))
        return false;
    if (m_pSpider->isChecked() && !CheckUrl(m_pSpiderUrl))
        return false;
    if (m_pTcp->isChecked()) {
        const int port = DigitsValue(m_pTcpPort);
        if (port < 1 || port > kMaxTcpPort) {
            Refuse(m_pTcpPort, QStringLiteral("Please enter a port between 1 and %1.").arg(kMaxTcpPort));
            return false;
        }
    }

    bool ok = false;
    const uint timeout = m_pTimeout->text().trimmed().toUInt(&ok, 10);
    if (!ok || timeout < uint(kMinTimeout) || timeout > uint(kMaxTimeout)) {
        ShowSheetMessage(
            this,
            QStringLiteral("Please enter a timeout between %1 and %2 seconds.").arg(kMinTimeout).arg(kMaxTimeout));
        m_pTimeout->setFocus();
        m_pTimeout->selectAll();
        return false;
    }
    return CheckAdvanced();
}

bool CTaskChecksPage::CheckAdvanced()
{
    // Held to the same rule as the URLs: only what the chosen check uses, and so has enabled.
    if (m_pAcceptedStatus->isEnabled() && !CStatusList::Parse(m_pAcceptedStatus->text())) {
        Refuse(m_pAcceptedStatus,
               QStringLiteral("Please enter the status codes to accept as codes from 100 to 999 and ranges of them, "
                              "separated by commas, such as \"200-299, 301, 401\"."));
        return false;
    }
    QString badLine;
    if (m_pHeaders->isEnabled() && !ParseHeaderLines(m_pHeaders->toPlainText(), &badLine)) {
        Refuse(m_pHeaders,
               badLine.contains(u':')
                   ? QStringLiteral("The request header '%1' is not valid: a header's name is letters, digits and "
                                    "signs such as '-', without blanks, and its value holds no control characters.")
                         .arg(badLine)
                   : QStringLiteral("The request header '%1' has no colon. Please enter one header per line, as "
                                    "\"Name: value\".")
                         .arg(badLine));
        // The line at fault, ready to be typed over.
        for (QTextBlock block = m_pHeaders->document()->begin(); block.isValid(); block = block.next()) {
            if (block.text() == badLine) {
                QTextCursor cursor(block);
                cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
                m_pHeaders->setTextCursor(cursor);
                break;
            }
        }
        return false;
    }
    return true;
}

void CTaskChecksPage::Refuse(QWidget* field, const QString& message)
{
    ShowSheetMessage(this, message);
    // The user may have closed the section after typing: the field must show to be corrected.
    if (!field->isVisibleTo(this))
        ShowAdvanced(true);
    field->setFocus();
    if (auto* edit = qobject_cast<QLineEdit*>(field))
        edit->selectAll();
}

void CTaskChecksPage::ShowAdvanced(bool shown)
{
    m_bAdvancedShown = shown;
    m_pAdvancedToggle->setArrowType(shown ? Qt::DownArrow : Qt::RightArrow);
    for (QWidget* widget : std::as_const(m_AdvancedWidgets))
        widget->setVisible(shown);
    // Opening grows the sheet by itself; closing would leave the room empty below the checks.
    // The layouts above learn of the hidden rows only from posted events, so they are told at
    // once, each one up to the sheet, before it is made as small as its pages need.
    QWidget* sheet = window();
    if (shown || sheet == this || !sheet->isVisible() || !sheet->layout())
        return;
    layout()->activate();
    for (QWidget* widget = this; widget != sheet; widget = widget->parentWidget())
        widget->updateGeometry();
    sheet->layout()->activate();
    sheet->resize(sheet->width(), std::max(sheet->minimumHeight(), sheet->sizeHint().height()));
}

bool CTaskChecksPage::CheckUrl(QLineEdit* field)
{
    if (field->text().isEmpty() || IsValidUrl(field->text()))
        return true;
    RefuseUrl(field);
    return false;
}

void CTaskChecksPage::RefuseUrl(QLineEdit* field)
{
    ShowSheetMessage(this, InvalidUrlMessage());
    field->setFocus();
    field->selectAll();
}

void CTaskChecksPage::UpdateEnabling()
{
    const bool ping = m_pPing->isChecked();
    const bool httpGet = m_pHttpGet->isChecked();
    const bool spider = m_pSpider->isChecked();
    const bool tcp = m_pTcp->isChecked();
    m_pPingHost->setEnabled(ping || tcp);
    m_pTcpPort->setEnabled(tcp);
    m_pTcpSend->setEnabled(tcp);
    m_pTcpExpect->setEnabled(tcp);
    m_pHttpUrl->setEnabled(httpGet);
    m_pHttpTest->setEnabled(httpGet);
    m_pLookForString->setEnabled(httpGet);
    m_pPattern->setEnabled(httpGet && m_pLookForString->isChecked());
    m_pSpiderUrl->setEnabled(spider);
    m_pSpiderTest->setEnabled(spider);
    m_pLimitPages->setEnabled(spider);
    m_pLimitDepth->setEnabled(spider);
    m_pMaxPages->setEnabled(spider && m_pLimitPages->isChecked());
    m_pMaxDepth->setEnabled(spider && m_pLimitDepth->isChecked());
    m_pSpiderConnections->setEnabled(spider);
    m_pSpiderCheckExternal->setEnabled(spider);
    // A certificate and a status come with HTTP answers; a crawl judges its start page's
    // certificate and every page's status, but sends no headers, looks for no text and has no
    // one answer to time.
    m_pCertWarn->setEnabled(httpGet || spider);
    m_pCertWarnDays->setEnabled((httpGet || spider) && m_pCertWarn->isChecked());
    m_pResponseLimit->setEnabled(ping || tcp || httpGet);
    m_pMaxResponseMs->setEnabled((ping || tcp || httpGet) && m_pResponseLimit->isChecked());
    m_pUnwanted->setEnabled(httpGet);
    m_pAcceptedStatus->setEnabled(httpGet || spider);
    m_pHeaders->setEnabled(httpGet);
}

void CTaskChecksPage::OpenUrlOf(QLineEdit* field)
{
    const QString text = field->text();
    if (!IsValidUrl(text)) {
        RefuseUrl(field);
        return;
    }
    // Without a browser (none installed, no desktop session) the button would seem dead.
    if (!QDesktopServices::openUrl(QUrl(text.trimmed(), QUrl::TolerantMode)))
        ShowSheetMessage(this,
                         QStringLiteral("Unable to start a web browser for '%1'. Please open the address in a "
                                        "browser yourself.")
                             .arg(text.trimmed()));
}
