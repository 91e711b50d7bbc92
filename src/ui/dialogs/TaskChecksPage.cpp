#include "ui/dialogs/TaskChecksPage.h"

#include "core/shell/AppSettings.h"
#include "core/tasks/Task.h"
#include "ui/dialogs/SheetPrompts.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kMinTimeout = 1;
constexpr int kMaxTimeout = 99;
// The most transfers a crawl keeps in flight to one site; the engine holds to the same bound.
constexpr int kMaxSpiderConnections = 32;

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
    m_pPingHost = named(new QLineEdit(this), "pingHost");
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
    grid->addWidget(NewBuddyLabel(QStringLiteral("IP &address or site name:"), m_pPingHost, this), row, 1);
    grid->addWidget(m_pPingHost, row++, 2, 1, 2);

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
    Body()->addLayout(grid);
    Body()->addStretch(1);

    for (QAbstractButton* button : std::initializer_list<QAbstractButton*> {
             m_pPing, m_pHttpGet, m_pSpider, m_pLookForString, m_pLimitPages, m_pLimitDepth})
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
    switch (task.m_CheckAction) {
    case eCheckHttpGet:
    case eCheckHttpGetPattern:
        m_pHttpGet->setChecked(true);
        break;
    case eCheckSpider:
        m_pSpider->setChecked(true);
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
}

bool CTaskChecksPage::CanLeave()
{
    // Only the chosen check's URL is held to the rule: the other one is disabled, so the
    // user could neither see the focus land in it nor correct it without changing checks.
    if (m_pHttpGet->isChecked() && !CheckUrl(m_pHttpUrl))
        return false;
    if (m_pSpider->isChecked() && !CheckUrl(m_pSpiderUrl))
        return false;

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
    return true;
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
    m_pPingHost->setEnabled(ping);
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
