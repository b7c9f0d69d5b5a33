// A fresh working directory for one test: the sender writes "spooler.log"
// into the current directory.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

class InTempDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = std::filesystem::current_path();
        std::random_device seed;
        dir_ = std::filesystem::temp_directory_path() /
               ("kit-unit-" + std::to_string(seed()) + std::to_string(seed()));
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
    }
    void TearDown() override
    {
        std::filesystem::current_path(previous_);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    static std::string Read(const std::string &name)
    {
        std::ifstream in(name, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }
    static void Write(const std::string &name, const std::string &bytes)
    {
        std::ofstream(name, std::ios::binary) << bytes;
    }
    // How a line feed is stored in a text file on this platform.
    static std::string Newline()
    {
#ifdef _WIN32
        return "\r\n";
#else
        return "\n";
#endif
    }

    std::filesystem::path previous_;
    std::filesystem::path dir_;
};
