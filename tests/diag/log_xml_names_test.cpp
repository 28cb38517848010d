// Names the newer XML editions allow but readers built on expat (Python's
// ElementTree, Firefox) refuse: "smtp_errors.xml" must still open there
// (found by fuzz/log_xml_fuzz).
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "diag/logger.h"
#include "integration/log_xml_check.h"

#ifndef _WIN32
namespace {

// Each is a name character of XML 1.0 fifth edition, not of the fourth.
const char* const kNames[] = {
    "\xD4\xAC",          // U+052C, Cyrillic added in Unicode 7
    "a\xCD\xB0",         // U+0370
    "\xE2\xB0\x80x",     // U+2C00, Glagolitic
    "\xE3\x80\x81",      // U+3001
    "\xEF\xA4\x80",      // U+F900
    "\xF0\x90\x80\x80",  // U+10000
    "x\xE9\xBE\xA6",     // U+9FA6
};

TEST(LogXmlNames, FileOpensInAnExpatReader) {
    if (!log_xml::pythonPresent()) GTEST_SKIP() << "no /usr/bin/python3";
    Logger log;
    for (const char* name : kNames) {
        log.EnterContext(name, true);
        log.LogData(name, "v");
        log.LeaveContext();
    }
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() /
        ("log_xml_names_" + std::to_string(std::random_device()()) + ".xml");
    ASSERT_TRUE(log.SaveLastError(0, file.string().c_str()));
    std::vector<log_xml::Element> got;
    std::string report;
    const bool parsed = log_xml::read(SMTP_SOURCE_DIR "/tests/integration/check_log_xml.py",
                                      file.string(), got, report);
    std::filesystem::remove(file);
    ASSERT_TRUE(parsed) << report;
    // The root, then a context and its value for each name.
    EXPECT_EQ(got.size(), 1 + 2 * (sizeof kNames / sizeof kNames[0]));
}

}  // namespace
#endif
