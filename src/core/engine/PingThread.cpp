#include "core/engine/PingThread.h"

#include "core/engine/ConcurrentFetcher.h"
#include "core/engine/EngineHost.h"
#include "core/engine/ExternalLinkCheck.h"
#include "core/engine/LinkExtractor.h"
#include "core/engine/PageText.h"
#include "core/engine/TcpProbe.h"
#include "core/engine/Url.h"
#include "core/output/LogMessage.h"
#include "core/shell/AppSettings.h"
#include "core/shell/Messages.h"
#include "core/support/Ping.h"
#include "core/tasks/CheckOptions.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThread>
#include <QUrl>

#include <algorithm>
#include <deque>
#include <limits>
#include <map>

namespace {
// The time-out of every network operation of a check. A task file may hold any number: below
// a second counts as a second (the least the task sheet offers) rather than as no time at all,
// and the largest keeps the milliseconds, and anything a platform API derives from them,
// within a signed 32-bit count, so no value can wrap round to a short time-out.
quint32 TimeoutMs(const CTask& task)
{
    constexpr int maxSeconds = std::numeric_limits<qint32>::max() / 1000;
    return quint32(std::clamp(task.m_TimeoutSec, 1, maxSeconds)) * 1000u;
}

const char kStoppedText[] = "Task execution stopped";

void TakeFigures(const CFetchFigures& figures, CCheckResult& result)
{
    result.m_StatusCode = figures.m_StatusCode;
    result.m_Bytes = figures.m_Bytes;
    result.m_LookupUs = figures.m_LookupUs;
    result.m_ConnectUs = figures.m_ConnectUs;
    result.m_TlsUs = figures.m_TlsUs;
    result.m_FirstByteUs = figures.m_FirstByteUs;
    result.m_TotalUs = figures.m_TotalUs;
    result.m_FinalUrl = figures.m_FinalUrl;
    result.m_CertExpiryMs = figures.m_CertExpiryMs;
}

// The statuses a task accepts. A list the task sheet would refuse, which only an edited file
// can hold, means the default: the check then judges as it always did.
std::optional<CStatusList> AcceptedStatus(const CTask& task)
{
    return CStatusList::Parse(task.m_AcceptedStatus);
}

// The task's request headers, each line on its own: a line the task sheet would refuse is
// left out rather than sent half-formed, and the others still go.
QList<CHeaderLine> RequestHeaders(const CTask& task)
{
    QList<CHeaderLine> headers;
    for (const QString& line : task.m_HttpHeaders.split(QLatin1Char('\n'))) {
        if (const auto parsed = ParseHeaderLines(line))
            headers.append(*parsed);
    }
    return headers;
}

// The failure of an https answer whose certificate runs out within the task's warning time;
// empty when it does not, or when the check has no such warning or the answer no certificate.
QString CertificateWarning(const CTask& task, const CFetchFigures& figures, const QString& taskUrl)
{
    if (task.m_CertWarnDays <= 0 || figures.m_CertExpiryMs < 0)
        return QString();
    constexpr qint64 msPerDay = qint64(24) * 60 * 60 * 1000;
    const qint64 leftMs = figures.m_CertExpiryMs - QDateTime::currentMSecsSinceEpoch();
    // Whole days left, rounded down (towards the past for one that has run out already).
    const qint64 daysLeft = leftMs >= 0 ? leftMs / msPerDay : -((-leftMs + msPerDay - 1) / msPerDay);
    if (daysLeft >= task.m_CertWarnDays)
        return QString();
    // The certificate is that of the server that gave the final answer.
    QString host = QUrl(figures.m_FinalUrl).host();
    if (host.isEmpty())
        host = QUrl(taskUrl).host();
    const QString date = QDateTime::fromMSecsSinceEpoch(figures.m_CertExpiryMs, Qt::UTC).toString(u"yyyy-MM-dd");
    return QStringLiteral("Certificate for '%1' expires on %2 (%3 days)").arg(host, date).arg(daysLeft);
}

// The failure of an answer slower than the task allows; empty within the limit, or without one.
QString ResponseTimeFailure(const CTask& task, const QString& target, qint64 elapsedMs)
{
    if (task.m_MaxResponseMs <= 0 || elapsedMs < 0 || elapsedMs <= task.m_MaxResponseMs)
        return QString();
    // The target stays out of arg(): a percent-encoded "%1" in a URL is no placeholder.
    return QLatin1Char('\'') + target
        + QStringLiteral("' answered in %1 ms, more than the limit of %2 ms").arg(elapsedMs).arg(task.m_MaxResponseMs);
}
} // namespace

CPingThread::CPingThread(IEngineHost* mainFrame)
    : m_pMainFrame(mainFrame)
    , m_pFetcher(std::make_unique<CPageFetcher>(&m_bStopRequested))
{ }

CPingThread::~CPingThread()
{
    if (m_Thread.IsRunning())
        Shutdown(5000);
}

void CPingThread::SetMainFrame(IEngineHost* mainFrame)
{
    std::lock_guard guard(m_HostLock);
    m_pMainFrame = mainFrame;
}

bool CPingThread::Start()
{
    {
        std::lock_guard guard(m_HostLock);
        if (!m_pMainFrame)
            return false;
    }
    m_bQuitting = false;
    m_Thread.Start(this, QStringLiteral("engine"));
    // Idle once the thread's event loop runs.
    QMetaObject::invokeMethod(
        this, [this] { m_bBusy = false; }, Qt::QueuedConnection);
    return true;
}

bool CPingThread::Shutdown(int waitMs)
{
    // Run requests still queued ahead of the quit event are dropped, not run: each would
    // clear the stop and could hang the shutdown for a whole time-out.
    m_bQuitting = true;
    StopTask();
    const bool ended = m_Thread.Quit(this, waitMs);
    SetMainFrame(nullptr);
    return ended;
}

void CPingThread::PostRunTask(int taskId)
{
    QCoreApplication::postEvent(this, new CThreadMessage(WM_RUN_TASK, taskId));
}

bool CPingThread::event(QEvent* event)
{
    switch (int(event->type())) {
    case WM_THREAD_QUIT:
        // Leaves the loop once this event returns; requests still queued are dropped.
        thread()->quit();
        return true;
    case WM_RUN_TASK:
        if (!m_bBusy && !m_bQuitting)
            HandleRunTask(int(static_cast<CThreadMessage*>(event)->m_wParam));
        return true;
    default:
        return QObject::event(event);
    }
}

void CPingThread::HandleRunTask(int taskId)
{
    m_bBusy = true;
    // A stop is meant for the run it was asked for; it never cancels a later one.
    m_bStopRequested = false;
    CTask task;
    bool found = false;
    {
        std::lock_guard guard(m_HostLock);
        found = m_pMainFrame && m_pMainFrame->GetTaskForEngine(taskId, task);
    }
    if (found)
        RunTask(task);
    else
        AddMessage(QStringLiteral("Ping thread: unable to get the next scheduled task."), eApplicationFailure, -1);
    m_bBusy = false;
}

void CPingThread::RunTask(CTask& task)
{
    m_RunTaskName = task.m_Name;
    AddMessage(QStringLiteral("Starting task ") + task.m_Name, eInformational, -1);
    PostTaskState(TASK_STATE_RUNNING, task.m_TaskId);
    CCheckResult result;
    result.m_TaskKey = task.m_TaskGuid;
    result.m_TaskName = task.m_Name;
    result.m_TaskId = task.m_TaskId;
    result.m_CheckKind = task.m_CheckAction;
    result.m_StartMs = QDateTime::currentMSecsSinceEpoch();
    m_RunStarted = std::chrono::steady_clock::now();
    switch (task.m_CheckAction) {
    case eCheckPing:
        DoPing(task, result);
        break;
    case eCheckHttpGet:
    case eCheckHttpGetPattern:
        DoHttpGet(task, result);
        break;
    case eCheckSpider:
        DoSpider(task, result);
        break;
    case eCheckTcp:
        DoTcp(task, result);
        break;
    default:
        AddMessage(QStringLiteral("Attempt to start task ") + task.m_Name
                       + QStringLiteral(" failed. Incorrect task action parameter"),
                   eApplicationFailure, -1);
        break;
    }
    AddMessage(QStringLiteral("Finished task ") + task.m_Name, eInformational, -1);
    PostTaskState(TASK_STATE_FINISHED, task.m_TaskId);
    m_RunTaskName.clear();
}

void CPingThread::OnTaskStopped(int taskId)
{
    PostTaskState(TASK_STATE_STOPPED, taskId);
    AddMessage(QString::fromLatin1(kStoppedText), eTaskStopped, -1);
    m_bStopRequested = false;
}

void CPingThread::ReportVerdict(CCheckResult& result, bool succeeded, const QString& text, bool stopped)
{
    AddMessage(text, succeeded ? eTaskSuccess : eTaskFailure, result.m_TaskId);
    const eVerdict verdict = stopped ? eVerdict::eStopped : succeeded ? eVerdict::eSuccess : eVerdict::eFailure;
    QueueResult(result, verdict, text);
}

void CPingThread::QueueResult(CCheckResult& result, eVerdict verdict, const QString& text)
{
    result.m_Verdict = verdict;
    result.m_Text = text;
    result.m_DurationUs
        = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - m_RunStarted)
              .count();
    std::lock_guard guard(m_HostLock);
    if (m_pMainFrame)
        m_pMainFrame->QueueCheckResult(result);
}

void CPingThread::AddMessage(const QString& text, CSeverity severity, int taskId)
{
    CLogMessage message(severity, text);
    message.m_TaskId = taskId;
    message.m_TaskName = m_RunTaskName;
    std::lock_guard guard(m_HostLock);
    if (m_pMainFrame)
        m_pMainFrame->QueueOutputMessage(message);
}

void CPingThread::PostTaskState(int state, int taskId)
{
    std::lock_guard guard(m_HostLock);
    if (m_pMainFrame)
        m_pMainFrame->PostTaskState(state, taskId);
}

void CPingThread::DoPing(CTask& task, CCheckResult& result)
{
    CPing ping;
    CPingReply reply;
    QString error;
    const bool answered
        = ping.PingUsingICMP(task.m_PingHost, reply, 30, TimeoutMs(task), 32, 0, 0, &m_bStopRequested, &error);
    if (reply.m_Status == ePingStopped) {
        OnTaskStopped(task.m_TaskId);
        QueueResult(result, eVerdict::eStopped, QString::fromLatin1(kStoppedText));
        return;
    }
    if (reply.m_Status == ePingNoSocket && !m_bReportedNoPingSocket) {
        m_bReportedNoPingSocket = true;
        AddMessage(QStringLiteral("Ping checks are not possible. ") + error, eApplicationFailure, -1);
    }
    if (answered) {
        result.m_RoundTripUs = qint64(reply.m_RTT) * 1000;
        const QString tooSlow = ResponseTimeFailure(task, task.m_PingHost, qint64(reply.m_RTT));
        if (!tooSlow.isEmpty())
            ReportVerdict(result, false, tooSlow);
        else
            ReportVerdict(result, true, QStringLiteral("Ping operation succeeded"));
    } else {
        ReportVerdict(result, false, QStringLiteral("Ping operation failed"));
    }
}

void CPingThread::DoHttpGet(CTask& task, CCheckResult& result)
{
    QString error;
    QByteArray content;
    m_pFetcher->SetOptions(CFetchOptions {AcceptedStatus(task), RequestHeaders(task)});
    const eFileRetrieveStatus status = m_pFetcher->RetrieveFile(task.m_HttpGetURL, TimeoutMs(task), error, content);
    // The task's headers are its own: the next check must not send them.
    m_pFetcher->SetOptions({});
    if (m_pFetcher->WasStopped()) {
        OnTaskStopped(task.m_TaskId);
        QueueResult(result, eVerdict::eStopped, QString::fromLatin1(kStoppedText));
        return;
    }
    const CFetchFigures& figures = m_pFetcher->GetFigures();
    TakeFigures(figures, result);
    if (status != eFileRetrieved && status != eFileNotText) {
        ReportVerdict(result, false, error);
        return;
    }
    if (const QString warning = CertificateWarning(task, figures, task.m_HttpGetURL); !warning.isEmpty()) {
        ReportVerdict(result, false, warning);
        return;
    }
    const qint64 totalMs = figures.m_TotalUs < 0 ? -1 : figures.m_TotalUs / 1000;
    if (const QString tooSlow = ResponseTimeFailure(task, task.m_HttpGetURL, totalMs); !tooSlow.isEmpty()) {
        ReportVerdict(result, false, tooSlow);
        return;
    }
    const bool searching = task.m_CheckAction == eCheckHttpGetPattern;
    const bool avoiding = !task.m_UnwantedPattern.isEmpty();
    if (!searching && !avoiding) {
        ReportVerdict(result, true, QStringLiteral("HTTP GET operation succeeded"));
        return;
    }
    if (status == eFileNotText) {
        ReportVerdict(result, false, QStringLiteral("File is not textual. Unable to perform substring search."));
        return;
    }
    // The texts are looked for as the page reads, in whatever encoding it was sent.
    const QString page = DecodePage(content, PageEncoding(content, m_pFetcher->GetContentType()));
    if (searching && !page.contains(task.m_ExpectedPattern)) {
        ReportVerdict(result, false, QStringLiteral("Expected pattern not found."));
        return;
    }
    if (avoiding && page.contains(task.m_UnwantedPattern)) {
        // The pattern stays out of arg(): a "%1" in it is no placeholder.
        ReportVerdict(result, false,
                      QStringLiteral("Unwanted text '") + task.m_UnwantedPattern + QStringLiteral("' found."));
        return;
    }
    ReportVerdict(result, true,
                  searching ? QStringLiteral("Expected pattern found.")
                            : QStringLiteral("HTTP GET operation succeeded"));
}

void CPingThread::DoTcp(CTask& task, CCheckResult& result)
{
    const QString target = TcpTargetText(task.m_PingHost, task.m_TcpPort);
    const quint32 timeoutMs = TimeoutMs(task);
    CTcpProbe probe(&m_bStopRequested);
    const CTcpProbeResult outcome
        = probe.Run(task.m_PingHost, task.m_TcpPort, timeoutMs, task.m_TcpSend.toUtf8(), task.m_TcpExpect.toUtf8());
    if (outcome.m_Outcome == CTcpProbeResult::eStopped) {
        OnTaskStopped(task.m_TaskId);
        QueueResult(result, eVerdict::eStopped, QString::fromLatin1(kStoppedText));
        return;
    }
    const QString connection = QStringLiteral("TCP connection to ") + target;
    // As for a GET that got no answer, the times to a failure are no response times.
    if (outcome.m_Outcome == CTcpProbeResult::eConnectFailed) {
        ReportVerdict(result, false, connection + QStringLiteral(" failed: ") + outcome.m_Reason);
        return;
    }
    result.m_LookupUs = outcome.m_LookupUs;
    result.m_ConnectUs = outcome.m_ConnectUs;
    result.m_TotalUs = outcome.m_TotalUs;
    const qint64 connectMs = outcome.m_ConnectUs < 0 ? -1 : outcome.m_ConnectUs / 1000;
    if (const QString tooSlow = ResponseTimeFailure(task, target, connectMs); !tooSlow.isEmpty()) {
        ReportVerdict(result, false, tooSlow);
        return;
    }
    if (outcome.m_Outcome == CTcpProbeResult::eExpectedNotFound) {
        ReportVerdict(result, false,
                      QStringLiteral("Expected text '") + task.m_TcpExpect
                          + QStringLiteral("' not found in the answer from ") + target + QLatin1Char('.'));
        return;
    }
    ReportVerdict(result, true, connection + QStringLiteral(" succeeded"));
}

namespace {
// How far the crawl may fetch ahead of the pages read: a bound on the pages, and on the bytes,
// held waiting to be read.
constexpr qsizetype kMaxPagesAhead = 16;
constexpr qint64 kMaxBytesAhead = 4 * 1024 * 1024;

struct CFetchedPage
{
    CSpiderLink m_Link;
    eFileRetrieveStatus m_Status;
    QString m_Error;
    bool m_bReadLinks = false; // handed to the link reader
};
} // namespace

void CPingThread::DoSpider(CTask& task, CCheckResult& result)
{
    // Limits compare as unsigned numbers, so a negative limit read from a task file means
    // no limit at all.
    const bool limitPages = task.m_bSpiderLimitPageNumber && task.m_SpiderMaxPageNumber >= 0;
    // The page limit counts pages fetched, and the start page is always fetched.
    const int maxPages = std::max(task.m_SpiderMaxPageNumber, 1);
    std::optional<int> maxDepth;
    if (task.m_bSpiderLimitDepth && task.m_SpiderMaxDepth >= 0)
        maxDepth = task.m_SpiderMaxDepth;
    const quint32 timeoutMs = TimeoutMs(task);

    // The start URL is written as its links would be, so that a link back to the start page
    // is seen to be the page already fetched.
    const QString startUrl = NormalizePageUrl(task.m_SpiderUrl);
    const QString startHost = QUrl(startUrl).host();
    CSpiderQueue queue;
    CReferrerMap referrers;
    AddSpiderLink(CSpiderLink(startUrl, 0), QStringLiteral("Task URL"), queue, referrers);
    bool failed = false;
    bool stopped = false;
    int fetched = 0;
    QString report;
    // For the run's record: pages whose fetch came to an end (a page cut off by a stop did not).
    result.m_PagesFetched = 0;

    // With more than one connection, pages further down the queue are fetched while the crawl
    // waits for the one at its head; each is still taken, and reported, in queue order. Only
    // pages certain to be taken are fetched ahead: every queued URL is distinct, so that is
    // each one within the depth limit, up to the page limit.
    const int wanted
        = task.m_SpiderConnections > 0 ? task.m_SpiderConnections : GetAppSettingsSnapshot().m_SpiderConnections;
    const int connections = std::clamp(wanted, 1, kMaxSpiderConnections);
    std::unique_ptr<CConcurrentFetcher> fetcherAhead;
    if (connections > 1)
        fetcherAhead = std::make_unique<CConcurrentFetcher>(connections, &m_bStopRequested);
    // Every page of the site is judged by the statuses the task accepts; its request headers
    // are for the GET checks only.
    const CFetchOptions pageOptions {AcceptedStatus(task), {}};
    m_pFetcher->SetOptions(pageOptions);
    if (fetcherAhead)
        fetcherAhead->SetOptions(pageOptions);
    // Said once the crawl is over: the start page's certificate runs out soon.
    QString certificateWarning;
    quint64 taken = 0; // queue entries taken so far: the key of the head is this number
    quint64 examined = 0; // entries before this key were submitted ahead, or will not be fetched
    int fetchesAhead = 0; // among the examined entries not yet taken, those that will be fetched
    std::map<quint64, CCompletedFetch> arrived;
    const auto fetchAhead = [&] {
        while (examined - taken < quint64(queue.size())) {
            const CSpiderLink& next = queue[qsizetype(examined - taken)];
            const bool willFetch = !(maxDepth && next.m_nDepth > *maxDepth);
            if (willFetch) {
                if (limitPages && fetched + fetchesAhead >= maxPages)
                    break;
                if (!fetcherAhead->Submit(examined, next.m_Url, timeoutMs))
                    break;
                ++fetchesAhead;
            }
            ++examined;
        }
    };

    // Links to other sites are checked beside the crawl, as the pages that hold them are
    // reported; their lines follow the site's own.
    std::unique_ptr<CExternalLinkCheck> otherSites;
    if (task.m_bSpiderCheckExternal)
        otherSites = std::make_unique<CExternalLinkCheck>(timeoutMs, &m_bStopRequested);

    // Pages are read on another thread while the crawl goes on fetching. Each fetched page is
    // reported, and its links queued, only once every page fetched before it has had its links
    // queued, so the crawl takes the same steps, and writes the same report, as one that reads
    // each page before fetching the next.
    CLinkExtractionWorker extractor(otherSites != nullptr);
    std::deque<CFetchedPage> unreported;
    const auto reportNext = [&] {
        const CFetchedPage page = std::move(unreported.front());
        unreported.pop_front();
        const QString referrer = referrers.GetReferrer(page.m_Link.m_Url);
        if (page.m_Status == eFileRetrieved) {
            report += QStringLiteral("Succesfully retrieved '") + page.m_Link.m_Url
                + QStringLiteral("'. Referenced on '") + referrer + QStringLiteral("'\n");
            if (page.m_bReadLinks) {
                QList<QString> otherSiteLinks;
                extractor.TakeNext(queue, referrers, maxDepth, otherSites ? &otherSiteLinks : nullptr);
                if (otherSites)
                    otherSites->Add(otherSiteLinks, page.m_Link.m_Url);
            }
        } else if (page.m_Status == eFileRetrieveError) {
            report += QStringLiteral("Error retrieving ") + page.m_Error + QStringLiteral(". Referenced on '")
                + referrer + QStringLiteral("'\n");
            result.m_BrokenLinks.append(CBrokenLink {page.m_Link.m_Url, referrer, page.m_Error});
            failed = true;
        }
    };

    for (;;) {
        // Wait for the reader only when the queue ran dry or it fell too far behind.
        while (!unreported.empty()) {
            const bool mustWait = queue.empty() || extractor.GetPendingCount() > kMaxPagesAhead
                || extractor.GetPendingBytes() > kMaxBytesAhead;
            if (!mustWait && unreported.front().m_bReadLinks && !extractor.IsNextReady())
                break;
            reportNext();
        }
        if (queue.empty())
            break;
        if (m_bStopRequested) {
            OnTaskStopped(task.m_TaskId);
            stopped = true;
            break;
        }
        if (limitPages && fetched >= maxPages)
            break;
        if (fetcherAhead)
            fetchAhead();
        const quint64 key = taken++;
        const CSpiderLink link = queue.front();
        queue.pop_front();
        if (maxDepth && link.m_nDepth > *maxDepth)
            continue;
        ++fetched;
        AddMessage(QStringLiteral("Task ") + task.m_Name + QStringLiteral(". Spidering page ") + link.m_Url,
                   eSpiderMessage, -1);

        CFetchedPage page {link, eFileRetrieveError, {}};
        CCompletedFetch fetch;
        if (fetcherAhead) {
            --fetchesAhead;
            while (arrived.count(key) == 0 && fetcherAhead->InFlightCount() > 0) {
                for (CCompletedFetch& done : fetcherAhead->WaitForAny()) {
                    const quint64 doneKey = done.m_Key;
                    arrived.emplace(doneKey, std::move(done));
                }
            }
        }
        if (const auto found = arrived.find(key); found != arrived.end()) {
            fetch = std::move(found->second);
            arrived.erase(found);
        } else {
            fetch.m_Status = m_pFetcher->RetrievePage(link.m_Url, timeoutMs, fetch.m_Error, fetch.m_Content);
            fetch.m_bStopped = m_pFetcher->WasStopped();
            fetch.m_Figures = m_pFetcher->GetFigures();
            fetch.m_EffectiveUrl = m_pFetcher->GetEffectiveUrl();
            fetch.m_ContentType = m_pFetcher->GetContentType();
        }
        page.m_Status = fetch.m_Status;
        page.m_Error = fetch.m_Error;
        if (fetch.m_bStopped) {
            // The page cut off by the stop is not reported: it was neither fetched nor failed.
            OnTaskStopped(task.m_TaskId);
            stopped = true;
            break;
        }
        if (result.m_PagesFetched++ == 0) {
            TakeFigures(fetch.m_Figures, result);
            if (fetch.m_Status != eFileRetrieveError)
                certificateWarning = CertificateWarning(task, fetch.m_Figures, startUrl);
        }
        if (page.m_Status == eFileRetrieved) {
            // Links are relative to where a redirect led, and the site is left when that is
            // on another host: its page counts, its links are not followed.
            const QString& pageUrl = fetch.m_EffectiveUrl;
            page.m_bReadLinks = QUrl(pageUrl).host().compare(startHost, Qt::CaseInsensitive) == 0;
            if (page.m_bReadLinks)
                extractor.Push(link, pageUrl, std::move(fetch.m_Content), fetch.m_ContentType);
        }
        unreported.push_back(std::move(page));
    }
    // Pages fetched ahead of a stop are dropped with their connections.
    if (fetcherAhead)
        fetcherAhead->AbortAll();
    while (!unreported.empty())
        reportNext();
    if (otherSites) {
        bool cut = false;
        for (const CExternalLink& link : otherSites->Finish(stopped, &cut)) {
            if (link.m_Status == eFileRetrieved) {
                report += QStringLiteral("Succesfully retrieved '") + link.m_Url + QStringLiteral("'. Referenced on '")
                    + link.m_Referrer + QStringLiteral("'\n");
            } else {
                report += QStringLiteral("Error retrieving ") + link.m_Error + QStringLiteral(". Referenced on '")
                    + link.m_Referrer + QStringLiteral("'\n");
                result.m_BrokenLinks.append(CBrokenLink {link.m_Url, link.m_Referrer, link.m_Error});
                failed = true;
            }
        }
        // A stop while the last links were checked: those not done are left out, as pages are.
        if (cut && !stopped) {
            OnTaskStopped(task.m_TaskId);
            stopped = true;
        }
    }

    m_pFetcher->SetOptions({});
    const QString heading = QStringLiteral("\n\nThe following links were checked:\n\n");
    // The start page was fetched, yet the site is about to become unreachable for browsers.
    if (!certificateWarning.isEmpty())
        ReportVerdict(result, false,
                      QStringLiteral("Spider operation failed. ") + certificateWarning + heading + report, stopped);
    else if (failed)
        ReportVerdict(result, false, QStringLiteral("Spider operation failed.") + heading + report, stopped);
    else
        ReportVerdict(result, true, QStringLiteral("Spider operation succeeded.") + heading + report, stopped);
}
