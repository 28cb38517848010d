#pragma once
// Reads a saved activity log with Python's XML parser (check_log_xml.py):
// an oracle for "the file is well-formed and holds these elements" that
// shares no code with the log. POSIX only: Python runs beside the tests.
#ifndef _WIN32
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "command.h"
#include "support/hex.h"

namespace log_xml {

struct Element {
    std::string tag, text, tail;  // as the parser gives them (line ends as LF)
};

inline bool pythonPresent() {
    return access("/usr/bin/python3", X_OK) == 0;
}

// True when the file parsed; elements in document order. On false, report
// holds the parser's complaint.
inline bool read(const std::string& script, const std::string& file, std::vector<Element>& elements,
                 std::string& report) {
    if (smtp_integration::runCommand({"/usr/bin/python3", script, file}, report) != 0) return false;
    elements.clear();
    std::istringstream lines(report);
    for (std::string tag, text, tail; std::getline(lines, tag, '\t') &&
                                      std::getline(lines, text, '\t') && std::getline(lines, tail);)
        elements.push_back(
            {testsupport::fromHex(tag), testsupport::fromHex(text), testsupport::fromHex(tail)});
    return true;
}

}  // namespace log_xml
#endif
