// A directory of its own for each test of a fixture, under the system's temporary directory,
// made before the test and removed after it, with the file helpers the tests use on it.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace scenario {

class TestWithDir : public ::testing::Test {
  protected:
    explicit TestWithDir(std::string prefix) : prefix_(std::move(prefix)) {}
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               (prefix_ + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Path(const std::string &name) const { return (dir_ / name).string(); }
    void Write(const std::string &name, const std::string &content) const {
        std::ofstream(Path(name), std::ios::binary) << content;
    }
    std::string Read(const std::string &name) const {
        std::ifstream in(Path(name), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    std::filesystem::path dir_;

  private:
    std::string prefix_;
};

} // namespace scenario
