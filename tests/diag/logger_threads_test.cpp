// Several threads writing into one log.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "diag/logger.h"
#include "log_test_support.h"

using namespace logtest;

TEST(LoggerThreads, ConcurrentWritersLoseNoEntries) {
    Logger log;
    const int perThread = 3000;
    std::atomic<bool> done{false};
    auto writer = [&log](const char* name) {
        for (int i = 0; i < perThread; ++i) {
            log.LogInfo("tick");
            log.LogDataLong(name, i);
        }
    };
    // A reader renders while the writers work; it must always see a
    // complete document.
    std::atomic<int> renders{0};
    std::atomic<int> malformed{0};
    std::thread reader([&] {
        while (!done.load()) {
            std::string xml = xmlOf(log);
            if (xml.rfind("<BrenvikLog>\r\n", 0) != 0 ||
                xml.size() < 15 || xml.compare(xml.size() - 15, 15, "</BrenvikLog>\r\n") != 0)
                ++malformed;
            ++renders;
        }
    });
    std::thread a(writer, "first");
    std::thread b(writer, "second");
    a.join();
    b.join();
    done = true;
    reader.join();

    EXPECT_EQ(malformed.load(), 0);
    EXPECT_GT(renders.load(), 0);
    EXPECT_EQ(childCount(log.root()), 4u * perThread);
    std::string xml = xmlOf(log);
    EXPECT_EQ(countOf(xml, "<info>tick</info>\r\n"), 2u * perThread);
    EXPECT_EQ(countOf(xml, "<first>"), static_cast<size_t>(perThread));
    EXPECT_EQ(countOf(xml, "<second>"), static_cast<size_t>(perThread));
    // Each thread's own values arrive in its order.
    EXPECT_NE(xml.find("<first>0</first>"), std::string::npos);
    EXPECT_NE(xml.find("<second>2999</second>"), std::string::npos);
    EXPECT_LT(xml.find("<first>10</first>"), xml.find("<first>11</first>"));
}

TEST(LoggerThreads, ManyWritersOfOneKindCountExactly) {
    // Same-kind appends from several threads contend on one child list.
    Logger log;
    const int threads = 4;
    const int perThread = 20000;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&log] {
            for (int i = 0; i < perThread; ++i) log.LogInfo("x");
        });
    for (auto& th : pool) th.join();
    EXPECT_EQ(childCount(log.root()), static_cast<uint32_t>(threads * perThread));
}

TEST(LoggerThreads, InterleavedContextsKeepEveryEntryAndReturnToTheRoot) {
    // Contexts from two threads interleave arbitrarily; pruning removes only
    // empty contexts, so no entry may go missing.
    Logger log;
    const int rounds = 2000;
    auto worker = [&log](const char* ctx) {
        for (int i = 0; i < rounds; ++i) {
            log.EnterContext(ctx, true);
            log.LogInfo("work");
            log.EnterContext("inner", true);
            log.LeaveContext();
            log.LeaveContext();
        }
    };
    std::thread a(worker, "A");
    std::thread b(worker, "B");
    a.join();
    b.join();
    EXPECT_EQ(log.contextDepth(), 1u);
    EXPECT_EQ(countOf(xmlOf(log), "<info>work</info>"), 2u * rounds);
}

TEST(LoggerThreads, ClearWhileWritingLeavesAUsableLog) {
    Logger log;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop.load()) {
            log.EnterContext("Op", true);
            log.LogDataInt64("n", -1);
            log.LeaveContext();
        }
    });
    for (int i = 0; i < 500; ++i) log.ClearLog();
    stop = true;
    writer.join();
    log.ClearLog();
    EXPECT_EQ(log.contextDepth(), 1u);
    log.LogInfo("after");
    EXPECT_EQ(xmlOf(log), underRoot("<info>after</info>\r\n"));
}
