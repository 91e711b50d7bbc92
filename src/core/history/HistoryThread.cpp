#include "core/history/HistoryThread.h"

#include "core/output/LogMessage.h"
#include "core/output/OutputSink.h"
#include "core/shell/Messages.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <deque>
#include <limits>
#include <mutex>
#include <utility>

namespace {

constexpr int kRetentionIntervalMs = 24 * 60 * 60 * 1000;

QString ResultCount(qsizetype count)
{
    return count == 1 ? QStringLiteral("1 result was") : QStringLiteral("%1 results were").arg(count);
}

// The store's reason as the rest of a sentence: "Cannot open ..." reads "cannot open ...".
QString Sentence(QString text)
{
    text = text.trimmed();
    if (text.size() > 1 && text.at(0).isUpper() && text.at(1).isLower())
        text[0] = text.at(0).toLower();
    if (!text.isEmpty() && !text.endsWith(u'.'))
        text += u'.';
    return text;
}

} // namespace

// What the history's thread and the object on the UI thread share. It outlives both when a
// thread does not end in time: the thread then still finds its queue, and no receiver.
struct CHistoryThread::CShared
{
    std::mutex m_QueueLock; // held for one queue operation only, never while writing or reporting
    std::deque<CCheckResult> m_Queue;
    int m_nDropped = 0; // over the bound, since the last report
    bool m_bOff = false; // a fault of the store: results are dropped, not queued
    bool m_bStopping = false; // Shutdown() began: nothing more is taken
    bool m_bWakePosted = false; // a wake-up is on its way to the thread

    std::atomic<bool> m_bAbort {false}; // Shutdown() gave up waiting: write nothing more

    std::mutex m_ReceiverLock; // held while calling out, so Shutdown() can cut both off safely
    IOutputSink* m_pSink = nullptr;
    QObject* m_pAnswers = nullptr; // where query answers go (the CHistoryThread object)

    void Report(const QString& text, CSeverity severity)
    {
        std::lock_guard guard(m_ReceiverLock);
        if (m_pSink)
            m_pSink->QueueOutputMessage(CLogMessage(severity, text));
    }

    void Answer(std::function<void()> reply)
    {
        std::lock_guard guard(m_ReceiverLock);
        if (m_pAnswers)
            QMetaObject::invokeMethod(m_pAnswers, std::move(reply), Qt::QueuedConnection);
    }
};

// Lives on the history's thread and is the only one that touches the store.
class CHistoryThread::CWorker : public QObject
{
public:
    CWorker(const CHistoryLocation& location, int retentionDays, std::shared_ptr<CShared> shared)
        : m_Location(location)
        , m_nRetentionDays(retentionDays)
        , m_pShared(std::move(shared))
        , m_WriteTimer(this)
        , m_ReconnectTimer(this)
        , m_RetentionTimer(this)
    {
        // Children move with the worker onto its thread, so their time-outs arrive there.
        m_WriteTimer.setSingleShot(true);
        connect(&m_WriteTimer, &QTimer::timeout, this, [this] { WriteQueued(); });
        m_ReconnectTimer.setInterval(kReconnectMs);
        connect(&m_ReconnectTimer, &QTimer::timeout, this, [this] { Reconnect(); });
        m_RetentionTimer.setInterval(kRetentionIntervalMs);
        connect(&m_RetentionTimer, &QTimer::timeout, this, [this] { ApplyRetention(); });
    }

    void Open();
    void Wake();
    void WriteQueued(bool all = false);
    void RunQuery(const std::function<std::function<void()>(CHistoryStore*)>& job);
    void Flush();

protected:
    bool event(QEvent* event) override
    {
        if (int(event->type()) == WM_THREAD_QUIT) {
            // The connection belongs to this thread: it is closed here, not by the destructor.
            m_WriteTimer.stop();
            m_ReconnectTimer.stop();
            m_RetentionTimer.stop();
            m_pStore.reset();
            thread()->quit();
            return true;
        }
        return QObject::event(event);
    }

private:
    enum eState
    {
        eClosed,
        eOpen,
        eWaiting, // PostgreSQL went away; results wait for it
        eOff,
    };

    bool IsServer() const { return m_Location.m_Kind == CHistoryLocation::ePostgres; }
    QString Where(const QString& error) const;
    void Reconnect();
    void ApplyRetention();
    void TurnOff(const QString& error);
    void LoseServer(const QString& error);
    qsizetype WriteBatch(); // how many were written; 0 when none waited, -1 on a fault
    void ReportDropped();

    CHistoryLocation m_Location;
    int m_nRetentionDays;
    std::shared_ptr<CShared> m_pShared;
    std::unique_ptr<CHistoryStore> m_pStore;
    eState m_State = eClosed;
    QTimer m_WriteTimer;
    QTimer m_ReconnectTimer;
    QTimer m_RetentionTimer;
    QElapsedTimer m_SinceWrite;
    QElapsedTimer m_SinceRetention;
};

QString CHistoryThread::CWorker::Where(const QString& error) const
{
    // The store's reason usually names the file or server already; when it does not, the
    // reader still has to learn which history it is about.
    const QString where = m_Location.Describe();
    if (error.contains(where) || (!m_Location.m_Path.isEmpty() && error.contains(m_Location.m_Path)))
        return error.trimmed();
    return error.trimmed() + QStringLiteral(" (") + where + u')';
}

void CHistoryThread::CWorker::Open()
{
    if (m_State != eClosed)
        return;
    if (IsServer() && !QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        // Never there, however often it is tried.
        TurnOff(QStringLiteral("the PostgreSQL driver of Qt SQL (libqt6sql6-psql) is not installed"));
        return;
    }
    m_pStore = std::make_unique<CHistoryStore>();
    QString error;
    if (!m_pStore->Open(m_Location, &error)) {
        if (IsServer())
            LoseServer(error);
        else
            TurnOff(error);
        return;
    }
    m_State = eOpen;
    ApplyRetention();
    m_RetentionTimer.start();
    WriteQueued();
}

void CHistoryThread::CWorker::Reconnect()
{
    if (m_State != eWaiting || m_pShared->m_bAbort)
        return;
    m_pStore->Close();
    QString error;
    if (!m_pStore->Open(m_Location, &error))
        return; // said once when it went away; the next try comes with the timer
    m_ReconnectTimer.stop();
    m_State = eOpen;
    qsizetype waiting = 0;
    {
        std::lock_guard guard(m_pShared->m_QueueLock);
        waiting = qsizetype(m_pShared->m_Queue.size());
    }
    m_pShared->Report(QStringLiteral("Result history reaches %1 again: %2 waiting to be written.")
                          .arg(m_Location.Describe(), ResultCount(waiting)),
                      eActionSucceeded);
    // A day of retention may have passed while the server was away.
    if (!m_SinceRetention.isValid() || m_SinceRetention.elapsed() >= kRetentionIntervalMs)
        ApplyRetention();
    if (!m_RetentionTimer.isActive())
        m_RetentionTimer.start();
    WriteQueued();
}

void CHistoryThread::CWorker::ApplyRetention()
{
    if (m_State != eOpen)
        return;
    m_SinceRetention.start();
    QString error;
    if (m_pStore->ApplyRetention(m_nRetentionDays, QDateTime::currentMSecsSinceEpoch(), &error))
        return;
    if (IsServer() && !m_pStore->IsAlive()) {
        LoseServer(error);
        return;
    }
    // Old results stay a day longer; recording goes on.
    m_pShared->Report(QStringLiteral("Result history could not delete results older than %1 days: %2")
                          .arg(m_nRetentionDays)
                          .arg(Sentence(Where(error))),
                      eApplicationFailure);
}

void CHistoryThread::CWorker::TurnOff(const QString& error)
{
    m_State = eOff;
    m_WriteTimer.stop();
    m_ReconnectTimer.stop();
    m_RetentionTimer.stop();
    if (m_pStore)
        m_pStore->Close();
    {
        std::lock_guard guard(m_pShared->m_QueueLock);
        m_pShared->m_bOff = true;
        m_pShared->m_Queue.clear();
        m_pShared->m_nDropped = 0;
    }
    m_pShared->Report(QStringLiteral("Result history is off: ") + Sentence(Where(error))
                          + QStringLiteral(" It is tried again at the next start or when the settings change."),
                      eApplicationFailure);
}

void CHistoryThread::CWorker::LoseServer(const QString& error)
{
    m_State = eWaiting;
    m_WriteTimer.stop();
    m_pStore->Close();
    m_ReconnectTimer.start();
    m_pShared->Report(QStringLiteral("Result history cannot reach %1: %2 Results wait in memory (up to %3) and are "
                                     "written when it answers again.")
                          .arg(m_Location.Describe(), Sentence(error))
                          .arg(kMaxQueuedResults),
                      eApplicationFailure);
}

void CHistoryThread::CWorker::Wake()
{
    {
        std::lock_guard guard(m_pShared->m_QueueLock);
        m_pShared->m_bWakePosted = false;
    }
    if (m_State != eOpen || m_WriteTimer.isActive())
        return;
    const qint64 since = m_SinceWrite.isValid() ? m_SinceWrite.elapsed() : qint64(kWriteGapMs);
    m_WriteTimer.start(int(std::max<qint64>(0, kWriteGapMs - since)));
}

void CHistoryThread::CWorker::WriteQueued(bool all)
{
    if (m_State != eOpen)
        return;
    m_WriteTimer.stop();
    m_SinceWrite.start();
    // What comes in while this round writes waits for the next round, so that a stream
    // faster than the database cannot keep the thread from its queries and its quit.
    qsizetype left = std::numeric_limits<qsizetype>::max();
    if (!all) {
        std::lock_guard guard(m_pShared->m_QueueLock);
        left = qsizetype(m_pShared->m_Queue.size());
    }
    while (left > 0 && !m_pShared->m_bAbort) {
        const qsizetype written = WriteBatch();
        if (written <= 0)
            break;
        left -= written;
    }
}

qsizetype CHistoryThread::CWorker::WriteBatch()
{
    QList<CCheckResult> batch;
    {
        std::lock_guard guard(m_pShared->m_QueueLock);
        const qsizetype count = std::min<qsizetype>(kMaxBatch, qsizetype(m_pShared->m_Queue.size()));
        batch.reserve(count);
        // Copied, not taken: a batch the server refuses stays at the front for the next try.
        for (qsizetype i = 0; i < count; ++i)
            batch.append(m_pShared->m_Queue[size_t(i)]);
    }
    if (batch.isEmpty())
        return 0;
    QString error;
    if (!m_pStore->Record(batch, &error)) {
        if (IsServer() && !m_pStore->IsAlive())
            LoseServer(error);
        else
            TurnOff(error);
        return -1;
    }
    {
        // Only this thread takes from the front, so the batch is still there.
        std::lock_guard guard(m_pShared->m_QueueLock);
        m_pShared->m_Queue.erase(m_pShared->m_Queue.begin(), m_pShared->m_Queue.begin() + batch.size());
    }
    ReportDropped();
    return batch.size();
}

void CHistoryThread::CWorker::ReportDropped()
{
    int dropped = 0;
    {
        std::lock_guard guard(m_pShared->m_QueueLock);
        dropped = std::exchange(m_pShared->m_nDropped, 0);
    }
    if (dropped > 0)
        m_pShared->Report(ResultCount(dropped)
                              + QStringLiteral(" dropped: %1 results were already waiting to be written to the history")
                                    .arg(kMaxQueuedResults),
                          eApplicationFailure);
}

void CHistoryThread::CWorker::RunQuery(const std::function<std::function<void()>(CHistoryStore*)>& job)
{
    // An answer that leaves out what was recorded just before the question would look
    // like a lost result.
    WriteQueued(true);
    m_pShared->Answer(job(m_State == eOpen ? m_pStore.get() : nullptr));
}

void CHistoryThread::CWorker::Flush()
{
    WriteQueued(true);
}

CHistoryThread::CHistoryThread(const CHistoryLocation& location, int retentionDays, IOutputSink* sink, QObject* parent)
    : QObject(parent)
    , m_Location(location)
    , m_nRetentionDays(retentionDays)
    , m_pShared(std::make_shared<CShared>())
{
    m_pShared->m_pSink = sink;
    m_pShared->m_pAnswers = this;
    m_pWorker = new CWorker(location, retentionDays, m_pShared);
}

CHistoryThread::~CHistoryThread()
{
    if (m_bStarted)
        Shutdown(5000);
    {
        std::lock_guard guard(m_pShared->m_ReceiverLock);
        m_pShared->m_pSink = nullptr;
        m_pShared->m_pAnswers = nullptr;
    }
    delete m_pWorker;
}

bool CHistoryThread::Start()
{
    {
        std::lock_guard guard(m_pShared->m_ReceiverLock);
        if (!m_pShared->m_pSink || m_bStarted || !m_pWorker)
            return false;
    }
    m_Thread.Start(m_pWorker, QStringLiteral("history"));
    m_bStarted = true;
    QMetaObject::invokeMethod(
        m_pWorker, [worker = m_pWorker] { worker->Open(); }, Qt::QueuedConnection);
    return true;
}

bool CHistoryThread::Shutdown(int waitMs)
{
    if (!m_bStarted)
        return true;
    m_bStarted = false;
    {
        std::lock_guard guard(m_pShared->m_QueueLock);
        m_pShared->m_bStopping = true;
    }
    // Ahead of the quit in the thread's queue: it runs once the job in hand is done.
    QMetaObject::invokeMethod(
        m_pWorker, [worker = m_pWorker] { worker->Flush(); }, Qt::QueuedConnection);
    const bool ended = m_Thread.Quit(m_pWorker, waitMs);
    // A thread still writing sees this between two batches and writes no more.
    m_pShared->m_bAbort = true;
    qsizetype unwritten = 0;
    int dropped = 0;
    {
        std::lock_guard guard(m_pShared->m_QueueLock);
        unwritten = qsizetype(m_pShared->m_Queue.size());
        dropped = std::exchange(m_pShared->m_nDropped, 0);
        if (ended)
            m_pShared->m_Queue.clear();
    }
    if (dropped > 0)
        m_pShared->Report(ResultCount(dropped)
                              + QStringLiteral(" dropped: %1 results were already waiting to be written to the history")
                                    .arg(kMaxQueuedResults),
                          eApplicationFailure);
    if (unwritten > 0)
        m_pShared->Report(ResultCount(unwritten)
                              + QStringLiteral(" not written to the result history (%1) before the "
                                               "shutdown")
                                    .arg(m_Location.Describe()),
                          eApplicationFailure);
    {
        std::lock_guard guard(m_pShared->m_ReceiverLock);
        m_pShared->m_pSink = nullptr;
        m_pShared->m_pAnswers = nullptr;
    }
    if (ended) {
        delete m_pWorker;
    }
    // Otherwise the worker still runs on its object, which is left to the end of the process.
    m_pWorker = nullptr;
    return ended;
}

void CHistoryThread::Record(const CCheckResult& result)
{
    bool wake = false;
    {
        std::lock_guard guard(m_pShared->m_QueueLock);
        if (m_pShared->m_bOff || m_pShared->m_bStopping || !m_pWorker)
            return;
        if (qsizetype(m_pShared->m_Queue.size()) >= kMaxQueuedResults) {
            ++m_pShared->m_nDropped;
            return;
        }
        m_pShared->m_Queue.push_back(result);
        wake = !std::exchange(m_pShared->m_bWakePosted, true);
    }
    if (wake)
        QMetaObject::invokeMethod(
            m_pWorker, [worker = m_pWorker] { worker->Wake(); }, Qt::QueuedConnection);
}

void CHistoryThread::PostQuery(std::function<std::function<void()>(CHistoryStore*)> job)
{
    if (!m_bStarted) {
        // No thread to ask: the answer is empty, and still comes later, as it always does.
        QMetaObject::invokeMethod(this, job(nullptr), Qt::QueuedConnection);
        return;
    }
    QMetaObject::invokeMethod(
        m_pWorker, [worker = m_pWorker, job = std::move(job)] { worker->RunQuery(job); }, Qt::QueuedConnection);
}

bool CHistoryThread::IsOff() const
{
    std::lock_guard guard(m_pShared->m_QueueLock);
    return m_pShared->m_bOff;
}

int CHistoryThread::GetQueuedCount() const
{
    std::lock_guard guard(m_pShared->m_QueueLock);
    return int(m_pShared->m_Queue.size());
}
