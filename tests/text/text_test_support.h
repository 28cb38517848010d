#pragma once
// Helpers shared by the text tests: a log that records what it is told and a
// scratch directory removed at the end of each test.
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "diag/log_base.h"

namespace texttest {

class RecordingLog : public LogBase {
  public:
    bool LogError(const char* text) override {
        errors.emplace_back(text ? text : "");
        return true;
    }
    bool LogData(const char* name, const char* value) override {
        data.emplace_back(std::string(name) + "=" + (value ? value : ""));
        return true;
    }
    bool LogDataLong(const char* name, int32_t value) override {
        data.emplace_back(std::string(name) + "=" + std::to_string(value));
        return true;
    }
    bool LogDataInt64(const char* name, int64_t value) override {
        data.emplace_back(std::string(name) + "=" + std::to_string(value));
        return true;
    }

    bool hasError(const std::string& text) const {
        for (const auto& e : errors)
            if (e == text) return true;
        return false;
    }
    bool hasData(const std::string& nameEqualsValue) const {
        for (const auto& d : data)
            if (d == nameEqualsValue) return true;
        return false;
    }
    bool hasDataNamed(const std::string& name) const {
        for (const auto& d : data)
            if (d.compare(0, name.size() + 1, name + "=") == 0) return true;
        return false;
    }

    std::vector<std::string> errors;
    std::vector<std::string> data;
};

class ScratchDir {
  public:
    ScratchDir() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() /
                ("text_tests_" + std::to_string(rd()) + "_" + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name, const std::string& content) const {
        std::string p = (path_ / name).string();
        std::ofstream(p, std::ios::binary)
            .write(content.data(), static_cast<std::streamsize>(content.size()));
        return p;
    }
    std::string path(const std::string& name = "") const {
        return name.empty() ? path_.string() : (path_ / name).string();
    }

  private:
    std::filesystem::path path_;
};

}  // namespace texttest
