#include "core/support/WorkerThread.h"

#include "core/shell/Messages.h"

#include <QCoreApplication>
#include <QThread>

CWorkerThread::~CWorkerThread()
{
    // A thread still running here belongs to a worker that did not end in time: it is left
    // to the end of the process rather than destroyed under the worker.
    if (m_pThread && m_pThread->isFinished())
        delete m_pThread;
}

void CWorkerThread::Start(QObject* worker, const QString& name)
{
    m_pThread = new QThread();
    m_pThread->setObjectName(name);
    worker->moveToThread(m_pThread);
    m_pThread->start();
}

bool CWorkerThread::Quit(QObject* worker, int waitMs)
{
    if (!m_pThread)
        return true;
    QCoreApplication::postEvent(worker, new CThreadMessage(WM_THREAD_QUIT));
    if (!m_pThread->wait(waitMs))
        return false;
    delete m_pThread;
    m_pThread = nullptr;
    return true;
}

bool CWorkerThread::IsRunning() const
{
    return m_pThread && m_pThread->isRunning();
}
