#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "platform/clock.h"
#include "platform/code_pages.h"
#include "platform/files.h"
#include "platform/identity.h"
#include "platform/system_error.h"

namespace {

std::string tempDir() {
#ifdef _WIN32
    char base[MAX_PATH + 1] = {0};
    DWORD n = GetTempPathA(sizeof(base), base);
    if (n == 0 || n > MAX_PATH) return "";
    for (unsigned i = 0; i < 1000; ++i) {
        std::string d = std::string(base) + "smtp_platform_" +
                        std::to_string(GetCurrentProcessId()) + "_" + std::to_string(i);
        if (CreateDirectoryA(d.c_str(), nullptr)) return d;
    }
    return "";
#else
    char tmpl[] = "/tmp/smtp_platform_XXXXXX";
    const char* d = mkdtemp(tmpl);
    return d ? d : "";
#endif
}

void removeAll(const std::string& dir) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

// UTC from the C library, independent of the platform layer.
struct tm utcNow(time_t now) {
    struct tm utc {};
#ifdef _WIN32
    utc = *std::gmtime(&now);  // msvcrt keeps the result per thread
#else
    gmtime_r(&now, &utc);
#endif
    return utc;
}

TEST(PlatformFiles, PathKindTellsFilesFromDirectoriesAndMissingPaths) {
    std::string dir = tempDir();
    ASSERT_FALSE(dir.empty());
    std::string file = dir + "/a.txt";
    {
        platform::File f;
        ASSERT_TRUE(f.createAlways(file.c_str()));
        EXPECT_EQ(f.write("abc", 3), 3);
    }
    EXPECT_EQ(platform::pathKind(file.c_str()), platform::PathKind::RegularFile);
    EXPECT_EQ(platform::pathKind(dir.c_str()), platform::PathKind::Other);
    EXPECT_EQ(platform::pathKind((dir + "/missing").c_str()), platform::PathKind::Missing);
    EXPECT_EQ(platform::pathKind(""), platform::PathKind::Missing);
    EXPECT_EQ(platform::pathKind(nullptr), platform::PathKind::Missing);
    // Bytes that are not UTF-8 name nothing that exists.
    EXPECT_EQ(platform::pathKind((dir + "/\xff\xfe").c_str()), platform::PathKind::Missing);
    removeAll(dir);
}

TEST(PlatformFiles, PathKindReadsTheUtf8NameOfANonAsciiFile) {
    std::string dir = tempDir();
    ASSERT_FALSE(dir.empty());
    // "Grüße €.txt" in UTF-8, created through the wide file name on Windows.
    const std::string name =
        "Gr\xc3\xbc\xc3\x9f"
        "e \xe2\x82\xac.txt";
    std::filesystem::path p =
        std::filesystem::path(dir) / std::filesystem::path(std::u8string(name.begin(), name.end()));
    { std::ofstream(p) << "x"; }
    ASSERT_TRUE(std::filesystem::exists(p));
    EXPECT_EQ(platform::pathKind((dir + "/" + name).c_str()), platform::PathKind::RegularFile);
    // The same name with another umlaut must not match.
    const std::string other =
        "Gr\xc3\xb6\xc3\x9f"
        "e \xe2\x82\xac.txt";
    EXPECT_EQ(platform::pathKind((dir + "/" + other).c_str()), platform::PathKind::Missing);
    removeAll(dir);
}

TEST(PlatformFiles, NonAsciiUtf8NamesRoundTrip) {
    std::string dir = tempDir();
    ASSERT_FALSE(dir.empty());
    // "Größe ☃.txt": the file must carry these characters, not their UTF-8
    // bytes read in some other code page.
    const std::string name =
        "Gr\xc3\xb6\xc3\x9f"
        "e \xe2\x98\x83.txt";
    std::string file = dir + "/" + name;
    {
        platform::File f;
        ASSERT_TRUE(f.createAlways(file.c_str()));
        ASSERT_EQ(f.write("snow", 4), 4);
    }
    EXPECT_TRUE(
        std::filesystem::exists(std::filesystem::path(dir) /
                                std::filesystem::path(std::u8string(name.begin(), name.end()))));
    platform::File r;
    ASSERT_TRUE(r.openRead(file.c_str()));
    char buf[8] = {0};
    EXPECT_EQ(r.read(buf, sizeof(buf)), 4);
    EXPECT_EQ(std::string(buf), "snow");
    r.close();
    removeAll(dir);
}

TEST(PlatformFiles, CreateAlwaysReplacesTheWholeFile) {
    std::string dir = tempDir();
    ASSERT_FALSE(dir.empty());
    std::string file = dir + "/r.bin";
    {
        platform::File f;
        ASSERT_TRUE(f.createAlways(file.c_str()));
        ASSERT_EQ(f.write("0123456789", 10), 10);
    }
    {
        platform::File f;
        ASSERT_TRUE(f.createAlways(file.c_str()));
        ASSERT_EQ(f.write("xy", 2), 2);
    }
    platform::File r;
    ASSERT_TRUE(r.openRead(file.c_str()));
    uint64_t size = 0;
    ASSERT_TRUE(r.size(size));
    EXPECT_EQ(size, 2u);
    char buf[16] = {0};
    EXPECT_EQ(r.read(buf, sizeof(buf)), 2);
    EXPECT_EQ(std::string(buf), "xy");
    EXPECT_EQ(r.read(buf, sizeof(buf)), 0);  // at the end
    r.close();
    EXPECT_FALSE(r.isOpen());
    removeAll(dir);
}

TEST(PlatformFiles, LargeFilesRoundTripByteForByte) {
    std::string dir = tempDir();
    ASSERT_FALSE(dir.empty());
    std::string file = dir + "/big.bin";
    std::string data(3 * 1024 * 1024 + 7, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    {
        platform::File f;
        ASSERT_TRUE(f.createAlways(file.c_str()));
        ASSERT_EQ(f.write(data.data(), data.size()), static_cast<long long>(data.size()));
    }
    platform::File r;
    ASSERT_TRUE(r.openRead(file.c_str()));
    uint64_t size = 0;
    ASSERT_TRUE(r.size(size));
    ASSERT_EQ(size, data.size());
    std::string back(data.size() + 10, '\0');
    ASSERT_EQ(r.read(back.data(), back.size()), static_cast<long long>(data.size()));
    back.resize(data.size());
    EXPECT_TRUE(back == data);
    r.close();
    removeAll(dir);
}

TEST(PlatformFiles, OpeningMissingFilesAndDirectoriesFails) {
    std::string dir = tempDir();
    ASSERT_FALSE(dir.empty());
    platform::File f;
    EXPECT_FALSE(f.openRead((dir + "/nope").c_str()));
    // ENOENT and ERROR_FILE_NOT_FOUND are both 2.
    EXPECT_EQ(f.lastError(), 2);
    EXPECT_FALSE(f.openRead(dir.c_str()));
    EXPECT_FALSE(f.isOpen());
    EXPECT_FALSE(f.openRead(nullptr));
    EXPECT_FALSE(f.createAlways(nullptr));
    EXPECT_FALSE(f.createAlways((dir + "/no/such/dir/file").c_str()));
    EXPECT_NE(f.lastError(), 0);
    EXPECT_EQ(f.read(nullptr, 0), -1);  // not open
    EXPECT_EQ(f.write("a", 1), -1);     // not open
    uint64_t size = 0;
    EXPECT_FALSE(f.size(size));
    removeAll(dir);
}

TEST(PlatformFiles, WritingAFileOpenedForReadingFails) {
    std::string dir = tempDir();
    ASSERT_FALSE(dir.empty());
    std::string file = dir + "/ro.txt";
    {
        platform::File f;
        ASSERT_TRUE(f.createAlways(file.c_str()));
        ASSERT_EQ(f.write("abc", 3), 3);
    }
    platform::File r;
    ASSERT_TRUE(r.openRead(file.c_str()));
    EXPECT_EQ(r.write("zz", 2), -1);
    EXPECT_NE(r.lastError(), 0);
    r.close();
    platform::File again;
    ASSERT_TRUE(again.openRead(file.c_str()));
    char buf[8] = {0};
    EXPECT_EQ(again.read(buf, sizeof(buf)), 3);
    EXPECT_EQ(std::string(buf), "abc");
    again.close();
    removeAll(dir);
}

#ifdef _WIN32
TEST(PlatformFiles, CreatedFilesAreNotSharedWhileOpen) {
    std::string dir = tempDir();
    ASSERT_FALSE(dir.empty());
    std::string file = dir + "/locked.xml";
    platform::File w;
    ASSERT_TRUE(w.createAlways(file.c_str()));
    platform::File r;
    EXPECT_FALSE(r.openRead(file.c_str()));
    EXPECT_EQ(r.lastError(), ERROR_SHARING_VIOLATION);
    w.close();
    EXPECT_TRUE(r.openRead(file.c_str()));
    r.close();
    removeAll(dir);
}

TEST(PlatformFiles, BytesThatAreNotUtf8AreReadInTheAnsiCodePage) {
    std::string dir = tempDir();
    ASSERT_FALSE(dir.empty());
    const std::string name = "caf\xe9.xml";
    wchar_t wide[32] = {0};
    ASSERT_GT(MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, wide, 32), 0);
    platform::File w;
    ASSERT_TRUE(w.createAlways((dir + "/" + name).c_str()));
    w.close();
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(dir) / wide));
    EXPECT_EQ(platform::pathKind((dir + "/" + name).c_str()), platform::PathKind::RegularFile);
    platform::File r;
    EXPECT_TRUE(r.openRead((dir + "/" + name).c_str()));
    r.close();
    removeAll(dir);
}

TEST(PlatformFiles, CreateAlwaysAcceptsForwardSlashes) {
    std::string dir = tempDir();
    ASSERT_FALSE(dir.empty());
    std::string slashed = dir;
    for (char& c : slashed)
        if (c == '\\') c = '/';
    platform::File w;
    ASSERT_TRUE(w.createAlways((slashed + "/sub.xml").c_str()));
    ASSERT_EQ(w.write("<a/>", 4), 4);
    w.close();
    EXPECT_EQ(platform::pathKind((dir + "\\sub.xml").c_str()), platform::PathKind::RegularFile);
    removeAll(dir);
}
#endif

TEST(PlatformIdentity, ComputerNameIsTheFirstLabelUpperCasedAtMostFifteen) {
    std::string name;
    ASSERT_TRUE(platform::computerName(name));
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 15u);
    EXPECT_EQ(name.find('.'), std::string::npos);
    for (char c : name) EXPECT_FALSE(c >= 'a' && c <= 'z') << name;
#ifdef _WIN32
    char buf[MAX_COMPUTERNAME_LENGTH + 1] = {0};
    DWORD n = sizeof(buf);
    ASSERT_TRUE(GetComputerNameA(buf, &n));
    EXPECT_EQ(name, std::string(buf));
#else
    char host[256] = {0};
    ASSERT_EQ(gethostname(host, sizeof(host) - 1), 0);
    std::string expected;
    for (const char* p = host; *p && *p != '.' && expected.size() < 15; ++p)
        expected.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(*p))));
    EXPECT_EQ(name, expected);
#endif
}

TEST(PlatformIdentity, UserNameMatchesTheEffectiveUser) {
    std::string name;
    ASSERT_TRUE(platform::userName(name));
    EXPECT_FALSE(name.empty());
#ifdef _WIN32
    // Under Wine the name is the Linux user's; never assume one.
    char buf[400] = {0};
    DWORD n = sizeof(buf);
    ASSERT_TRUE(GetUserNameA(buf, &n));
    EXPECT_EQ(name, std::string(buf));
    const char* env = std::getenv("USERNAME");
    if (env && *env) {
        EXPECT_EQ(_stricmp(env, name.c_str()), 0) << env << " vs " << name;
    }
#else
    if (geteuid() == 0) {
        EXPECT_EQ(name, "root");
    }
#endif
}

TEST(PlatformCodePages, TestsCanPinAndReleaseBothPages) {
    unsigned ansi = platform::ansiCodePage();
    unsigned oem = platform::oemCodePage();
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
    uint32_t b = platform::tickCount();
    // GetTickCount ticks in steps of about 16 ms on Windows.
    EXPECT_GE(static_cast<uint32_t>(b - a), 14u);
    EXPECT_LT(static_cast<uint32_t>(b - a), 5000u);
}

TEST(PlatformClock, LocalTimeAgreesWithTheCLibrary) {
    platform::LocalTime lt = platform::localTimeNow();
    struct tm utc = utcNow(time(nullptr));
    // Local wall time minus UTC wall time, in minutes, across a day boundary.
    int localMin = lt.hour * 60 + lt.minute;
    int utcMin = utc.tm_hour * 60 + utc.tm_min;
    int diff = ((localMin - utcMin) % 1440 + 1440) % 1440;
    int offset = ((lt.utcOffsetMinutes % 1440) + 1440) % 1440;
    int delta = std::abs(diff - offset);
    // The minute may tick over between the two readings.
    EXPECT_TRUE(delta <= 1 || delta >= 1439) << diff << " vs " << offset;
    EXPECT_GE(lt.utcOffsetMinutes, -14 * 60);
    EXPECT_LE(lt.utcOffsetMinutes, 14 * 60);
    EXPECT_GE(lt.month, 1);
    EXPECT_LE(lt.month, 12);
    EXPECT_GE(lt.day, 1);
    EXPECT_LE(lt.day, 31);
    EXPECT_GE(lt.weekday, 0);
    EXPECT_LE(lt.weekday, 6);
    EXPECT_GE(lt.second, 0);
    EXPECT_LE(lt.second, 60);
    EXPECT_GE(lt.year, 2024);
}

TEST(PlatformSystemError, KnownCodesHaveTrimmedText) {
    std::string t = platform::systemErrorText(2);  // ENOENT / ERROR_FILE_NOT_FOUND
    ASSERT_FALSE(t.empty());
    EXPECT_NE(t.back(), '\n');
    EXPECT_NE(t.back(), '\r');
    EXPECT_NE(t.back(), ' ');
    EXPECT_NE(platform::systemErrorText(2), platform::systemErrorText(5));
}

#ifdef _WIN32
TEST(PlatformSystemError, WinsockAndUnknownCodes) {
    // WSAECONNREFUSED comes from the same system table.
    std::string refused = platform::systemErrorText(10061);
    EXPECT_FALSE(refused.empty());
    EXPECT_EQ(refused.find('\n'), std::string::npos);
    EXPECT_EQ(platform::systemErrorText(0x2FFFFFF0u), "");
}
#endif

}  // namespace
