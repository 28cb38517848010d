// The OS layer: files by UTF-8 name, identity, code pages, clock, error
// texts and the random source, each checked against the system's own calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "platform/clock.h"
#include "platform/code_pages.h"
#include "platform/files.h"
#include "platform/identity.h"
#include "platform/random.h"
#include "platform/system_error.h"
#include "support/scratch.h"

namespace {
namespace fs = std::filesystem;
using platform::PathKind;

class PlatformFiles : public ::testing::Test {
  protected:
    // A UTF-8 name as the file system API sees it, wide on Windows.
    fs::path native(const std::string& name) const {
        return fs::path(dir) / fs::path(std::u8string(name.begin(), name.end()));
    }
    static bool create(const std::string& path, const std::string& bytes) {
        platform::File f;
        return f.createAlways(path.c_str()) &&
               f.write(bytes.data(), bytes.size()) == static_cast<long long>(bytes.size());
    }
    // The whole file, which must be as long as its size says.
    static std::string readBack(const std::string& path) {
        platform::File r;
        std::string back(1 << 23, '\0');
        uint64_t size = 0;
        if (!r.openRead(path.c_str()) || !r.size(size)) return "<cannot open>";
        long long n = r.read(back.data(), back.size());
        back.resize(n < 0 ? 0 : static_cast<size_t>(n));
        EXPECT_EQ(r.read(back.data(), 1), 0) << "more after the end";
        EXPECT_EQ(size, back.size());
        r.close();
        EXPECT_FALSE(r.isOpen());
        return back;
    }
    const testsupport::ScratchDir scratch;
    const std::string dir = scratch.path.string();
};

TEST_F(PlatformFiles, WritesReadsAndFindsWholeFilesUnderNonAsciiNames) {
    const std::string name = "Gr\xc3\xb6\xc3\x9f\x65 \xe2\x98\x83.bin", file = dir + "/" + name;
    std::string data(3 * 1024 * 1024 + 7, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    ASSERT_TRUE(create(file, data));
    EXPECT_TRUE(fs::exists(native(name))) << "the name must carry the characters, not their bytes";
    EXPECT_TRUE(readBack(file) == data);
    ASSERT_TRUE(create(file, "xy"));
    EXPECT_EQ(readBack(file), "xy");
    EXPECT_EQ(platform::pathKind(file.c_str()), PathKind::RegularFile);
    EXPECT_EQ(platform::pathKind(dir.c_str()), PathKind::Other);
    EXPECT_EQ(platform::pathKind(""), PathKind::Missing);
    EXPECT_EQ(platform::pathKind(nullptr), PathKind::Missing);
    // Made by the standard library: the UTF-8 name must mean the same characters.
    const std::string made = "Gr\xc3\xbc\xc3\x9f\x65 \xe2\x82\xac.txt";
    { std::ofstream(native(made)) << "x"; }
    EXPECT_EQ(platform::pathKind((dir + "/" + made).c_str()), PathKind::RegularFile);
    // Another umlaut, and bytes that are not UTF-8, name nothing that exists.
    for (const char* missing :
         {"/missing", "/\xff\xfe", "/Gr\xc3\xb6\xc3\x9f\x65 \xe2\x82\xac.txt"})
        EXPECT_EQ(platform::pathKind((dir + missing).c_str()), PathKind::Missing) << missing;
}

TEST_F(PlatformFiles, MissingPathsDirectoriesAndWrongModesFail) {
    platform::File f;
    EXPECT_FALSE(f.openRead((dir + "/nope").c_str()));
    EXPECT_EQ(f.lastError(), 2) << "ENOENT and ERROR_FILE_NOT_FOUND are both 2";
    EXPECT_FALSE(f.openRead(dir.c_str()));
    EXPECT_FALSE(f.isOpen());
    EXPECT_FALSE(f.openRead(nullptr));
    EXPECT_FALSE(f.createAlways(nullptr));
    EXPECT_FALSE(f.createAlways((dir + "/no/such/dir/file").c_str()));
    EXPECT_NE(f.lastError(), 0);
    uint64_t size = 0;
    EXPECT_EQ(f.read(nullptr, 0), -1);
    EXPECT_EQ(f.write("a", 1), -1);
    EXPECT_FALSE(f.size(size));
    ASSERT_TRUE(create(dir + "/ro.txt", "abc"));
    ASSERT_TRUE(f.openRead((dir + "/ro.txt").c_str()));
    EXPECT_EQ(f.write("zz", 2), -1);
    EXPECT_NE(f.lastError(), 0);
    f.close();
    EXPECT_EQ(readBack(dir + "/ro.txt"), "abc");
}

#ifdef _WIN32
TEST_F(PlatformFiles, WindowsSharingAnsiNamesAndForwardSlashes) {
    const std::string file = dir + "/locked.xml";
    platform::File w, r;
    ASSERT_TRUE(w.createAlways(file.c_str()));
    EXPECT_FALSE(r.openRead(file.c_str())) << "not shared while open";
    EXPECT_EQ(r.lastError(), ERROR_SHARING_VIOLATION);
    w.close();
    EXPECT_TRUE(r.openRead(file.c_str()));
    r.close();
    // Bytes that are not UTF-8 are read in the ANSI code page.
    const std::string name = "caf\xe9.xml";
    wchar_t wide[32] = {0};
    ASSERT_GT(MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, wide, 32), 0);
    ASSERT_TRUE(create(dir + "/" + name, ""));
    EXPECT_TRUE(fs::exists(fs::path(dir) / wide));
    EXPECT_EQ(platform::pathKind((dir + "/" + name).c_str()), PathKind::RegularFile);
    std::string slashed = dir;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    ASSERT_TRUE(create(slashed + "/sub.xml", "<a/>"));
    EXPECT_EQ(platform::pathKind((dir + "\\sub.xml").c_str()), PathKind::RegularFile);
}
#endif

TEST(PlatformIdentity, NamesMatchTheSystemsOwn) {
    std::string computer, user;
    ASSERT_TRUE(platform::computerName(computer));
    ASSERT_TRUE(platform::userName(user));
    EXPECT_FALSE(user.empty());
#ifdef _WIN32
    char buf[400] = {0};
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(GetComputerNameA(buf, &n));
    EXPECT_EQ(computer, std::string(buf));
    n = sizeof(buf);
    ASSERT_TRUE(GetUserNameA(buf, &n));
    EXPECT_EQ(user, std::string(buf)) << "under Wine the Linux user's name";
    const char* env = std::getenv("USERNAME");
    EXPECT_TRUE(!env || !*env || _stricmp(env, user.c_str()) == 0) << env << " vs " << user;
#else
    // The first label of the host name, upper-cased, at most 15 characters.
    char host[256] = {0};
    ASSERT_EQ(gethostname(host, sizeof(host) - 1), 0);
    std::string expected;
    for (const char* p = host; *p && *p != '.' && expected.size() < 15; ++p)
        expected.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(*p))));
    EXPECT_EQ(computer, expected);
    EXPECT_TRUE(geteuid() != 0 || user == "root") << user;
#endif
    platform::setUserNameForTesting("pinned");
    EXPECT_TRUE(platform::userName(user));
    EXPECT_EQ(user, "pinned");
    platform::setUserNameForTesting("");
    EXPECT_FALSE(platform::userName(user));
    platform::setUserNameForTesting(nullptr);
    EXPECT_TRUE(platform::userName(user));
    EXPECT_NE(user, "pinned");
}

TEST(PlatformCodePages, TestsCanPinAndReleaseBothPages) {
    const unsigned ansi = platform::ansiCodePage(), oem = platform::oemCodePage();
#ifdef _WIN32
    EXPECT_EQ(ansi, GetACP());
    EXPECT_EQ(oem, GetOEMCP());
#else
    EXPECT_TRUE(ansi == 65001 || ansi == 1252);
    EXPECT_EQ(oem, 437u);
#endif
    platform::setCodePagesForTesting(28591, 850);
    EXPECT_EQ(platform::ansiCodePage(), 28591u);
    EXPECT_EQ(platform::oemCodePage(), 850u);
    platform::setCodePagesForTesting(0, 0);
    EXPECT_EQ(platform::ansiCodePage(), ansi);
    EXPECT_EQ(platform::oemCodePage(), oem);
}

TEST(PlatformClock, TickCountAdvancesAcrossASleep) {
    uint32_t a = platform::tickCount();
    platform::sleepMs(30);
    uint32_t spent = platform::tickCount() - a;
    EXPECT_GE(spent, 14u) << "GetTickCount ticks in steps of about 16 ms";
    EXPECT_LT(spent, 5000u);
}

// Rerun in zones east and west of UTC under Wine (tests/CMakeLists.txt).
TEST(PlatformClock, LocalTimeAgreesWithTheCLibrary) {
    platform::LocalTime lt = platform::localTimeNow();
    time_t now = time(nullptr);
    struct tm utc = *std::gmtime(&now);  // msvcrt keeps the result per thread
    // Local wall time minus UTC wall time, in minutes, across a day boundary.
    int diff = ((lt.hour * 60 + lt.minute - utc.tm_hour * 60 - utc.tm_min) % 1440 + 1440) % 1440;
    int delta = std::abs(diff - ((lt.utcOffsetMinutes % 1440) + 1440) % 1440);
    EXPECT_TRUE(delta <= 1 || delta >= 1439)
        << diff << " vs " << lt.utcOffsetMinutes;  // a minute may tick over
    const int fields[][3] = {{lt.utcOffsetMinutes, -14 * 60, 14 * 60},
                             {lt.month, 1, 12},
                             {lt.day, 1, 31},
                             {lt.weekday, 0, 6},
                             {lt.second, 0, 60},
                             {lt.year, 2024, 9999}};
    for (const auto& f : fields) {
        EXPECT_GE(f[0], f[1]);
        EXPECT_LE(f[0], f[2]);
    }
}

TEST(PlatformSystemError, KnownCodesHaveTrimmedText) {
    std::string t = platform::systemErrorText(2);  // ENOENT / ERROR_FILE_NOT_FOUND
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(std::string(" \r\n").find(t.back()), std::string::npos);
    EXPECT_NE(t, platform::systemErrorText(5));
#ifdef _WIN32
    std::string refused = platform::systemErrorText(10061);  // from the same table
    EXPECT_FALSE(refused.empty());
    EXPECT_EQ(refused.find('\n'), std::string::npos);
    EXPECT_EQ(platform::systemErrorText(0x2FFFFFF0u), "");
#endif
}

TEST(SecureRandom, DrawsDifferAndFillExactlyWhatWasAsked) {
    unsigned char a[32] = {0}, b[32] = {0}, guard = 0x5a;
    ASSERT_TRUE(platform::secureRandom(a, sizeof(a)));
    ASSERT_TRUE(platform::secureRandom(b, sizeof(b)));
    EXPECT_NE(std::memcmp(a, b, sizeof(a)), 0);
    EXPECT_TRUE(platform::secureRandom(&guard, 0));
    EXPECT_EQ(guard, 0x5a);
    EXPECT_TRUE(platform::secureRandom(nullptr, 0));
    // Large, odd-sized, at an odd address: the generator may hand it over in pieces.
    const size_t n = (1u << 20) + 7;
    std::vector<unsigned char> buf(n + 2, 0);
    buf.back() = 0xa5;
    ASSERT_TRUE(platform::secureRandom(buf.data() + 1, n));
    EXPECT_EQ(buf.front(), 0);
    EXPECT_EQ(buf.back(), 0xa5);
    for (size_t off = 1; off <= n; off += 64)
        ASSERT_TRUE(std::any_of(&buf[off], &buf[std::min(off + 64, n + 1)],
                                [](unsigned char c) { return c != 0; }))
            << "zero window at " << off;
}

}  // namespace
