#pragma once
// Runs Python's email package over MIME text the engine produced, through
// tests/data/mime/check_mime.py. Data goes through temp files only.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "diag/log_base.h"
#include "mime/email2.h"
#include "mime_test_support.h"
#include "text/encoding_convert.h"

namespace mimetest {

inline bool pythonEmailAvailable() {
    static int have = -1;
    if (have < 0) have = std::system("python3 -c \"import email.policy\"") == 0 ? 1 : 0;
    return have == 1;
}

// Collects the expectation lines for check_mime.py.
class Expect {
  public:
    Expect& parts(int n) { return line("PARTS " + std::to_string(n)); }
    Expect& type(int i, const std::string& t, bool multipart) {
        return line("TYPE " + std::to_string(i) + " " + t + (multipart ? " 1" : " 0"));
    }
    Expect& body(int i, const std::string& bytes) { return line("BODY " + std::to_string(i) + " " + toHex(bytes)); }
    Expect& text(int i, const std::string& utf8) { return line("TEXT " + std::to_string(i) + " " + toHex(utf8)); }
    Expect& filename(int i, const std::string& utf8) {
        return line("FILENAME " + std::to_string(i) + " " + toHex(utf8));
    }
    Expect& header(int i, const std::string& name, const std::string& utf8) {
        return line("HEADER " + std::to_string(i) + " " + name + " " + toHex(utf8));
    }
    Expect& addr(int i, const std::string& name, int j, const std::string& display, const std::string& spec) {
        return line("ADDR " + std::to_string(i) + " " + name + " " + std::to_string(j) + " " + toHex(display) +
                    " " + toHex(spec));
    }
    const std::string& str() const { return m_text; }

  private:
    Expect& line(const std::string& l) {
        m_text += l + "\n";
        return *this;
    }
    std::string m_text;
};

// True when Python reads the message as expected; failures print
// Python's findings through the test log.
inline bool pythonAgrees(const std::string& message, const Expect& expect, const char* tag) {
    std::string dir = ::testing::TempDir();
    std::string msgPath = dir + "mime_oracle_" + tag + ".eml";
    std::string expPath = dir + "mime_oracle_" + tag + ".txt";
    {
        std::ofstream m(msgPath, std::ios::binary);
        m.write(message.data(), static_cast<std::streamsize>(message.size()));
        std::ofstream e(expPath, std::ios::binary);
        e << expect.str();
    }
    std::string cmd = "python3 \"" + std::string(SMTP_TEST_DATA_DIR) + "/mime/check_mime.py\" \"" + msgPath +
                      "\" \"" + expPath + "\"";
    bool ok = std::system(cmd.c_str()) == 0;
    if (ok) {
        std::remove(msgPath.c_str());
        std::remove(expPath.c_str());
    }
    return ok;
}

inline std::string render(Email2& e, const char* prefix = "BVX-") {
    StringBuffer out;
    LogNull log;
    e.assembleMime(out, nullptr, prefix, log);
    return str(out);
}

inline std::unique_ptr<Email2> parse(const std::string& text) {
    LogNull log;
    return std::unique_ptr<Email2>(Email2::createFromMime(text.data(), static_cast<uint32_t>(text.size()), log));
}

inline std::string latin1(const std::string& utf8) {
    DataBuffer out;
    EncodingConvert().convert(65001, 28591, utf8.data(), static_cast<uint32_t>(utf8.size()), out);
    return str(out);
}

}  // namespace mimetest
