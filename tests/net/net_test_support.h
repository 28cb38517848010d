#pragma once
// Reading what the network code logged, and a resolver that needs no name service.
#include <cstdint>
#include <string>
#include <vector>

#include "diag/logger.h"
#include "platform/sockets.h"

namespace nettest {

struct Entry {
    char kind;  // 'E' error, 'I' info, 'T' named value, 'C' context
    std::string name;
    std::string text;
};

std::vector<Entry> entriesOf(Logger& log);
bool hasError(Logger& log, const std::string& text);
bool hasInfo(Logger& log, const std::string& text);
// The first value logged under name, or "<none>".
std::string dataOf(Logger& log, const std::string& name);
// Every text of the log in order, for failure messages.
std::string dump(Logger& log);

// Installed for the lifetime of the object. Names it does not know fail.
class FakeResolver {
  public:
    FakeResolver();
    ~FakeResolver();
    void add(const std::string& name, const std::string& ip, const std::string& official = "");
    // Lookups of this name wait until release(), or at most delayMs when given.
    void hold(const std::string& name, uint32_t delayMs = 0);
    void release();
    std::vector<std::string> calls() const;
    int finishedCalls() const;
};

}  // namespace nettest
