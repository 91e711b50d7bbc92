#include "core/shell/AppSettings.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <clocale>

// Every test program runs inside a QCoreApplication, so tests can drive event loops,
// worker threads and timers as the program does.
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    std::setlocale(LC_ALL, "C");
    // No test may touch the user's settings, even one that forgets to ask for its own.
    QTemporaryDir settingsDir;
    SetSettingsFile(settingsDir.filePath(QStringLiteral("settings.ini")));
    return RUN_ALL_TESTS();
}
