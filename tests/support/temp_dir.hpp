#pragma once
// A fresh temporary folder that is the working folder (and the engine's log
// folder) while a test runs, removed afterwards.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace qztest {

class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qzws-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
        ::setenv("QZ_LOG_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        ::unsetenv("QZ_LOG_DIR");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    const std::string& dir() const { return dir_; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Writes `content` to `name` below the folder, creating parent folders.
    std::string writeFile(const std::string& name, const std::string& content) const {
        std::filesystem::path p = path(name);
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }

private:
    std::string dir_;
    std::filesystem::path previous_;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace qztest
