// A fresh, empty directory for the running test case.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace zel::support {

// Under the system's temporary directory, named by `prefix`, this process and
// the running case, so that test programs run side by side never share one.
// Whatever an earlier run left there is removed first.
inline std::filesystem::path scratchDirectory(const std::string& prefix) {
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        (prefix + std::to_string(::getpid()) + "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

}  // namespace zel::support
