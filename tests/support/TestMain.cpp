#include "core/shell/AppSettings.h"

#ifdef CORVANE_TEST_WIDGETS
#include <QApplication>
#else
#include <QCoreApplication>
#endif
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <clocale>

// Every test program runs inside an application object, so tests can drive event loops,
// worker threads and timers as the program does; widget tests get a QApplication.
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
#ifdef CORVANE_TEST_WIDGETS
    // Widgets need no screen unless a run asks for one (QT_QPA_PLATFORM=xcb for screenshots);
    // this also covers the listing run of the test discovery, which gets no test environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    std::setlocale(LC_ALL, "C");
    // No test may touch the user's settings, even one that forgets to ask for its own.
    QTemporaryDir settingsDir;
    SetSettingsFile(settingsDir.filePath(QStringLiteral("settings.ini")));
    // Nor the user's result history: the default history file lies under the data folder,
    // for this process and for every program a test starts.
    QTemporaryDir dataDir;
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataDir.path()));
    return RUN_ALL_TESTS();
}
