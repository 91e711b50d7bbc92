#include "core/alerts/AlertProgram.h"

#include <windows.h>

CAlertProgram::~CAlertProgram()
{
    Forget();
}

void CAlertProgram::Forget()
{
    if (m_nWatch != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(m_nWatch));
    m_nWatch = -1;
    m_nProcessId = 0;
}

bool CAlertProgram::Start(const QString& program, const QStringList& arguments)
{
    Forget();
    // Our sockets are opened without inheritance; the standard handles go to the null device.
    const qint64 processId = StartDetached(program, arguments);
    if (processId == 0)
        return false;
    m_nProcessId = processId;
    // Holding the handle keeps the id from being reused while it is watched.
    if (HANDLE handle = ::OpenProcess(SYNCHRONIZE, FALSE, DWORD(processId)))
        m_nWatch = reinterpret_cast<qintptr>(handle);
    else
        m_nProcessId = 0;
    return true;
}

bool CAlertProgram::IsRunning() const
{
    return m_nProcessId > 0 && m_nWatch != -1
        && ::WaitForSingleObject(reinterpret_cast<HANDLE>(m_nWatch), 0) == WAIT_TIMEOUT;
}
