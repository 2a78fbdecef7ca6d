// Test main for tests that need a QApplication: offscreen, so discovery and CI
// need no display.
#include <QApplication>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // A home and configuration folder of this process alone, empty at start: `ctest -j` runs
    // test programs side by side, and none may see what another (or an earlier run) left.
    QTemporaryDir home;
    if (!home.isValid()) return 2;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral(".config"))));
    QApplication app(argc, argv);
    // Settings and links in the user's folders go to a test folder, never the real one.
    QStandardPaths::setTestModeEnabled(true);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
