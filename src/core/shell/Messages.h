#pragma once

#include <QEvent>

// The messages between the hub and its worker threads keep their historic numbers
// (WM_USER = 0x400). They fall inside Qt's user event range, so each travels as a posted
// QEvent of that type carrying the two message parameters; Qt delivers posted events in
// order, one at a time, like a message queue.
constexpr int WM_USER = 0x400;
constexpr int WM_THREAD_QUIT = WM_USER + 1; // hub -> both workers: end the thread
constexpr int WM_RUN_TASK = WM_USER + 2; // hub -> engine: run task wParam
constexpr int WM_SEND_ALERT = WM_USER + 3; // hub -> alert thread: an alert waits in its queue
constexpr int WM_OUTPUT_MESSAGE = WM_USER + 100; // any thread -> hub: a log message waits in its queue
constexpr int WM_TASK_STATE = WM_USER + 101; // engine -> hub: task lParam changed to state wParam
constexpr int WM_CHECK_RESULT = WM_USER + 102; // engine -> hub: a run's structured result waits in its queue

static_assert(WM_THREAD_QUIT > QEvent::User && WM_CHECK_RESULT < QEvent::MaxUser);

// States carried by WM_TASK_STATE.
constexpr int TASK_STATE_RUNNING = 1;
constexpr int TASK_STATE_FINISHED = 2;
constexpr int TASK_STATE_STOPPED = 3;

class CThreadMessage : public QEvent
{
public:
    CThreadMessage(int message, qintptr wParam = 0, qintptr lParam = 0)
        : QEvent(QEvent::Type(message))
        , m_wParam(wParam)
        , m_lParam(lParam)
    { }

    int Message() const { return int(type()); }

    qintptr m_wParam;
    qintptr m_lParam;
};
