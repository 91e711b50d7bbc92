#pragma once

#include <QString>

struct CDesktopOptions
{
    QString m_TaskFile; // empty: the auto-open file of the settings, if any
    bool m_bMinimize = false; // "-minimize": to the tray (or minimised) right after the start
};

// The desktop program: one instance per user and settings file, the main window, the
// monitor behind it. Needs a QApplication. Returns the process exit code: 0 after a normal
// end and for a later start that handed over to the running instance, 2 when the task file
// or the monitor cannot be started.
int RunDesktop(const CDesktopOptions& options);
