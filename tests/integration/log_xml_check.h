#pragma once
// Reads a saved activity log with Python's XML parser (check_log_xml.py):
// an oracle for "the file is well-formed and holds these elements" that
// shares no code with the log. POSIX only: Python runs beside the tests.
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace log_xml {

struct Element {
    std::string tag, text, tail;  // as the parser gives them (line ends as LF)
};

inline bool pythonPresent() {
    return access("/usr/bin/python3", X_OK) == 0;
}

inline std::string unhex(const std::string& h) {
    std::string out;
    if (h == "-") return out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return out;
}

// True when the file parsed; elements in document order. On false, report
// holds the parser's complaint.
inline bool read(const std::string& script, const std::string& file, std::vector<Element>& elements,
                 std::string& report) {
    auto quote = [](const std::string& s) {
        std::string q = "'";
        for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return q + "'";
    };
    const std::string cmd = "/usr/bin/python3 " + quote(script) + " " + quote(file) + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        report = "cannot run " + cmd;
        return false;
    }
    char buf[4096];
    size_t n;
    report.clear();
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) report.append(buf, n);
    const int status = pclose(p);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
    elements.clear();
    std::istringstream lines(report);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream f(line);
        std::string tag, text, tail;
        std::getline(f, tag, '\t');
        std::getline(f, text, '\t');
        std::getline(f, tail, '\t');
        elements.push_back({unhex(tag), unhex(text), unhex(tail)});
    }
    return true;
}

}  // namespace log_xml
#endif
