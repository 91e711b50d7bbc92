#pragma once

#include "core/history/CheckResult.h"
#include "core/history/HistoryStore.h"
#include "core/support/WorkerThread.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

class IOutputSink;

// Keeps the result history on a thread of its own, so that a slow disk or a far database
// server never delays a check or the window. Record() only appends to a bounded memory
// queue; the thread writes what is queued in batched transactions, a few times a second at
// most. An SQLite history that cannot be opened or written is reported once and then stays
// off (results are dropped) until it is opened again; a PostgreSQL server that cannot be
// reached is tried again every few seconds while results wait in the queue. Every outcome
// reaches the receiver as a log message about no task.
//
// The object itself lives on the thread that made it (the UI thread): Record(), Query()
// and Shutdown() are called there, and query answers are delivered there.
class CHistoryThread : public QObject
{
public:
    // Results that may wait to be written; more are dropped and reported with their count.
    static constexpr int kMaxQueuedResults = 10000;
    // Results written in one transaction: large enough to make a burst cheap, small enough
    // that one transaction never holds the database for long.
    static constexpr int kMaxBatch = 1000;
    // The shortest time between two rounds of writing, so a steady stream of results costs
    // a few transactions a second whatever its rate.
    static constexpr int kWriteGapMs = 250;
    // How often a PostgreSQL server that went away is tried again.
    static constexpr int kReconnectMs = 5000;

    CHistoryThread(const CHistoryLocation& location, int retentionDays, IOutputSink* sink, QObject* parent = nullptr);
    ~CHistoryThread() override;
    CHistoryThread(const CHistoryThread&) = delete;
    CHistoryThread& operator=(const CHistoryThread&) = delete;

    // Starts the thread, which opens the store and applies the retention. False when there
    // is no receiver for its messages.
    bool Start();
    // Writes what is queued, waiting up to waitMs, then ends the thread. What could not be
    // written in time is dropped and counted in the receiver's last message; the receiver
    // hears nothing more once this returns. True when the thread ended in time.
    bool Shutdown(int waitMs);

    // Queues a copy of the result and returns at once; dropped while the history is off.
    void Record(const CCheckResult& result);

    // Runs query on the history's thread, after everything recorded before it was written,
    // and hands its answer to answer on this object's thread, unless receiver is gone by
    // then. A history that is off or cannot reach its database answers with an empty R.
    template<class R>
    void Query(std::function<R(CHistoryStore&)> query, QObject* receiver, std::function<void(R)> answer);

    const CHistoryLocation& GetLocation() const { return m_Location; }
    int GetRetentionDays() const { return m_nRetentionDays; }
    // Off after a fault of the store: nothing is recorded until the history is opened anew.
    bool IsOff() const;
    // Results queued and not written yet.
    int GetQueuedCount() const;

private:
    struct CShared;
    class CWorker;

    // job runs on the history's thread with the store (null when there is none to ask) and
    // returns what is then called on this object's thread.
    void PostQuery(std::function<std::function<void()>(CHistoryStore*)> job);

    CHistoryLocation m_Location;
    int m_nRetentionDays;
    std::shared_ptr<CShared> m_pShared;
    CWorker* m_pWorker = nullptr; // owned here unless its thread did not end in time
    CWorkerThread m_Thread;
    bool m_bStarted = false;
};

template<class R>
void CHistoryThread::Query(std::function<R(CHistoryStore&)> query, QObject* receiver, std::function<void(R)> answer)
{
    // Made here and read only on this thread, where the receiver is deleted.
    QPointer<QObject> guard(receiver);
    PostQuery(
        [query = std::move(query), guard, answer = std::move(answer)](CHistoryStore* store) -> std::function<void()> {
            auto result = std::make_shared<R>(store ? query(*store) : R {});
            return [guard, answer, result] {
                if (guard)
                    answer(std::move(*result));
            };
        });
}
