// Writing the log to a file: the error file a failed send leaves behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "diag/cls_base.h"
#include "diag/logger.h"
#include "log_test_support.h"

using namespace logtest;
namespace fs = std::filesystem;

namespace {

class SaveTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        dir_ = fs::temp_directory_path() /
               ("diag_save_" + std::to_string(rd()) + "_" + std::to_string(rd()));
        ASSERT_TRUE(fs::create_directories(dir_));
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    static std::string readAll(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void writeAll(const std::string& p, const std::string& bytes) {
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out << bytes;
    }

    static void fill(Logger& log) {
        log.EnterContext("SendEmail", true);
        log.LogData("DllDate", kDllDate);
        log.LogInfo("Gr\xC3\xBC\xC3\x9F" "e");
        log.LogError("Failed to connect to SMTP server.");
        log.LogData("reply", "550 no\r\n");
        log.LeaveContext();
    }

    fs::path dir_;
};

}  // namespace

TEST_F(SaveTest, WritesExactlyTheXmlBytes) {
    Logger log;
    fill(log);
    std::string p = path("smtp_errors.xml");
    ASSERT_TRUE(log.SaveLastError(0, p.c_str()));
    std::string saved = readAll(p);
    EXPECT_EQ(saved, xmlOf(log));
    // No byte-order mark, and texts keep the bytes they were given.
    EXPECT_EQ(saved.rfind("<BrenvikLog>\r\n", 0), 0u);
    EXPECT_NE(saved.find("Gr\xC3\xBC\xC3\x9F" "e"), std::string::npos);
}

TEST_F(SaveTest, ReplacesALongerExistingFileCompletely) {
    std::string p = path("smtp_errors.xml");
    writeAll(p, std::string(20000, 'z'));
    ASSERT_EQ(fs::file_size(p), 20000u);
    Logger log;
    fill(log);
    ASSERT_TRUE(log.SaveLastError(0, p.c_str()));
    std::string xml = xmlOf(log);
    EXPECT_EQ(fs::file_size(p), xml.size());
    std::string saved = readAll(p);
    EXPECT_EQ(saved, xml);
    EXPECT_EQ(saved.find('z'), std::string::npos);
}

TEST_F(SaveTest, SavingTwiceGivesTheSameFileAndLeavesTheLogAlone) {
    Logger log;
    fill(log);
    std::string before = xmlOf(log);
    std::string p = path("a.xml");
    ASSERT_TRUE(log.SaveLastError(7, p.c_str()));  // the first word means nothing
    std::string first = readAll(p);
    ASSERT_TRUE(log.SaveLastError(0, p.c_str()));
    EXPECT_EQ(readAll(p), first);
    EXPECT_EQ(xmlOf(log), before);
    EXPECT_EQ(log.contextDepth(), 1u);
}

TEST_F(SaveTest, FreshLogSavesTheBareRoot) {
    Logger log;
    std::string p = path("fresh.xml");
    ASSERT_TRUE(log.SaveLastError(0, p.c_str()));
    EXPECT_EQ(readAll(p), "<BrenvikLog>\r\n</BrenvikLog>\r\n");
}

TEST_F(SaveTest, UnwritablePathsFail) {
    Logger log;
    fill(log);
    EXPECT_FALSE(log.SaveLastError(0, dir_.string().c_str()));  // a directory
    EXPECT_FALSE(log.SaveLastError(0, path("missing/sub/x.xml").c_str()));
    EXPECT_FALSE(log.SaveLastError(0, ""));
    EXPECT_FALSE(log.SaveLastError(0, nullptr));
    EXPECT_FALSE(fs::exists(path("missing")));
    // Failing to save does not disturb the log.
    EXPECT_EQ(childCount(log.root()), 1u);
}

TEST_F(SaveTest, ShortWriteFails) {
    // A device that accepts the open but refuses every byte.
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
    Logger log;
    fill(log);
    EXPECT_FALSE(log.SaveLastError(0, "/dev/full"));
}

TEST_F(SaveTest, ObjectSaveTrimsThePath) {
    ClsBase obj;
    obj.log().LogInfo("from the object");
    std::string p = path("name.xml");
    std::string padded = "  \t" + p + " \r\n";
    ASSERT_TRUE(obj.SaveLastError(padded.c_str()));
    EXPECT_EQ(readAll(p), underRoot("<info>from the object</info>\r\n"));
    // Only the trimmed file exists in the directory.
    size_t entries = 0;
    for (const auto& e : fs::directory_iterator(dir_)) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

TEST_F(SaveTest, ObjectSaveRefusesMissingPaths) {
    ClsBase obj;
    obj.log().LogInfo("x");
    EXPECT_FALSE(obj.SaveLastError(nullptr));
    EXPECT_FALSE(obj.SaveLastError(""));
    EXPECT_FALSE(obj.SaveLastError("   "));
    EXPECT_FALSE(obj.SaveLastError("\t\r\n"));
    EXPECT_FALSE(obj.SaveLastError(dir_.string().c_str()));
    EXPECT_TRUE(fs::is_empty(dir_));
}
