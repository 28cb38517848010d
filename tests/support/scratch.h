#pragma once
// A directory of its own for a test: the current one while it lives, removed
// with all it holds at the end (read-only files included); and reading a
// file whole.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace testsupport {

struct ScratchDir {
    using path_t = std::filesystem::path;
    path_t path = std::filesystem::temp_directory_path() /
                  ("smtp_scratch_" + std::to_string(std::random_device{}()));
    path_t previous = std::filesystem::current_path();
    ScratchDir() {
        std::filesystem::create_directories(path);
        std::filesystem::current_path(path);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::current_path(previous, ec);
        std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path, ec);
    }
    std::string name(const std::string& file) const { return (path / file).string(); }
    // Writes the file and gives its full name.
    std::string file(const std::string& file, const std::string& content) const {
        std::ofstream(path / file, std::ios::binary) << content;
        return name(file);
    }
};

// The bytes of a file, empty when it cannot be read.
inline std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testsupport
