// Test main for programs without a QApplication: like qt_main.cpp, a home and configuration
// folder of this process alone, so that neither the tests nor the programs they start read
// what the user, another test program or an earlier run left there.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    std::string home = (std::filesystem::temp_directory_path() / "kvtest-home-XXXXXX").string();
    if (!::mkdtemp(home.data())) return 2;
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    return status;
}
