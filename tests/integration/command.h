#pragma once
// Runs a program through the shell and collects what it prints, stdout and
// stderr together: how the tests call their Python oracles and the Postfix
// script. POSIX only: Python and Postfix run beside the tests.
#ifndef _WIN32
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/scratch.h"

namespace smtp_integration {

inline std::string shellWords(const std::vector<std::string>& args) {
    std::string cmd;
    for (const std::string& a : args) {
        cmd += " '";
        for (char c : a) cmd += c == '\'' ? std::string("'\\''") : std::string(1, c);
        cmd += '\'';
    }
    return cmd;
}

using testsupport::readFile;

// The exit status, or -1 when the program could not run or did not exit.
inline int runCommand(const std::vector<std::string>& args, std::string& output) {
    output.clear();
    FILE* p = popen((shellWords(args) + " </dev/null 2>&1").c_str(), "re");
    if (!p) return -1;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) output.append(buf, n);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace smtp_integration
#endif
