#pragma once

#include <QString>
#include <QStringList>

// One start of an external alert program. The program runs on its own, detached from this
// process, with standard input, output and error on the null device and no other
// descriptor of ours: whatever it does, it neither writes into our output (the headless
// program's standard output is its log) nor holds our files and connections open. The
// object remembers the process, so that a later alert can tell whether it still runs.
class CAlertProgram
{
public:
    CAlertProgram() = default;
    ~CAlertProgram();
    CAlertProgram(const CAlertProgram&) = delete;
    CAlertProgram& operator=(const CAlertProgram&) = delete;

    // Starts program with arguments, never through a shell. False when it could not start.
    bool Start(const QString& program, const QStringList& arguments);
    // True while the process that Start() began has not ended.
    bool IsRunning() const;

private:
    void Forget();
    // Starts the program detached with its standard streams on the null device; the id of
    // the new process, or 0 when it could not start.
    static qint64 StartDetached(const QString& program, const QStringList& arguments);

    qint64 m_nProcessId = 0;
    // What watches the process: a pidfd on Linux, a process handle on Windows.
    qintptr m_nWatch = -1;
};
