#include "text/brenvik_object.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {
// Diagnostic only; relaxed atomic so that construction on the name-lookup
// thread is not a data race.
std::atomic<uint32_t> g_nextSerial{0};
}  // namespace

BrenvikObject::BrenvikObject()
    : m_serial(g_nextSerial.fetch_add(1, std::memory_order_relaxed) + 1) {}
BrenvikObject::BrenvikObject(const BrenvikObject&)
    : m_serial(g_nextSerial.fetch_add(1, std::memory_order_relaxed) + 1) {}
BrenvikObject::~BrenvikObject() = default;

void fatalObjectCorruption(const char* typeName) {
    std::fprintf(stderr, "smtp_plugin: corrupted or destroyed %s object, stopping\n", typeName);
    std::fflush(stderr);
    std::abort();
}
