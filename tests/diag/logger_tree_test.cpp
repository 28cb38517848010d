// The shape of the log tree: contexts, pruning on leave, clearing.
#include <gtest/gtest.h>

#include <memory>

#include "diag/logger.h"
#include "log_test_support.h"

using namespace logtest;

TEST(LoggerTree, FreshLogIsJustTheRootElement) {
    Logger log;
    EXPECT_EQ(xmlOf(log), "<BrenvikLog>\r\n</BrenvikLog>\r\n");
    EXPECT_EQ(log.contextDepth(), 1u);
    ASSERT_NE(log.root(), nullptr);
    EXPECT_EQ(log.root()->kind(), 'C');
    EXPECT_EQ(str(log.root()->name()), "BrenvikLog");
    EXPECT_EQ(childCount(log.root()), 0u);
}

TEST(LoggerTree, GetXmlReplacesWhatTheOutputHeld) {
    Logger log;
    StringBuffer out("left over from an earlier call");
    ASSERT_TRUE(log.GetXml(out));
    EXPECT_STREQ(out.getString(), "<BrenvikLog>\r\n</BrenvikLog>\r\n");
}

TEST(LoggerTree, NestedContextsRenderInCallOrder) {
    Logger log;
    log.EnterContext("SendEmail", true);
    log.LogInfo("one");
    log.EnterContext("connect", true);
    log.LogError("bad");
    log.LogData("port", "25");
    log.LogRaw("raw line");
    log.LeaveContext();
    log.LogInfo("two");
    log.LeaveContext();
    EXPECT_EQ(xmlOf(log), underRoot("<SendEmail>\r\n"
                                    "<info>one</info>\r\n"
                                    "<connect>\r\n"
                                    "<error>bad</error>\r\n"
                                    "<port>25</port>\r\n"
                                    "raw line\r\n"
                                    "</connect>\r\n"
                                    "<info>two</info>\r\n"
                                    "</SendEmail>\r\n"));
}

TEST(LoggerTree, EntriesHaveTheirKindsAndDepthFollowsTheStack) {
    Logger log;
    EXPECT_TRUE(log.EnterContext("A", true));
    EXPECT_EQ(log.contextDepth(), 2u);
    EXPECT_TRUE(log.EnterContext("B", false));
    EXPECT_EQ(log.contextDepth(), 3u);
    log.LogError("e");
    log.LogInfo("i");
    log.LogRaw("x");
    log.LogData("n", "v");
    EXPECT_TRUE(log.LeaveContext());
    EXPECT_EQ(log.contextDepth(), 2u);
    log.LeaveContext();
    EXPECT_EQ(log.contextDepth(), 1u);

    const LogEntry2* a = child(log.root(), 0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(childCount(log.root()), 1u);
    EXPECT_EQ(a->kind(), 'C');
    EXPECT_EQ(str(a->name()), "A");
    const LogEntry2* b = child(a, 0);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(str(b->name()), "B");
    ASSERT_EQ(childCount(b), 4u);
    EXPECT_EQ(child(b, 0)->kind(), 'E');
    EXPECT_EQ(str(child(b, 0)->text()), "e");
    EXPECT_EQ(child(b, 1)->kind(), 'I');
    EXPECT_EQ(child(b, 2)->kind(), 'X');
    EXPECT_EQ(child(b, 3)->kind(), 'T');
    EXPECT_EQ(str(child(b, 3)->name()), "n");
    EXPECT_EQ(str(child(b, 3)->text()), "v");
    // Non-context entries carry no child list.
    EXPECT_EQ(child(b, 0)->children(), nullptr);
}

TEST(LoggerTree, VerboseFlagDoesNotChangeTheTree) {
    Logger quiet, verbose;
    quiet.EnterContext("Op", false);
    quiet.LogInfo("x");
    verbose.EnterContext("Op", true);
    verbose.LogInfo("x");
    EXPECT_EQ(xmlOf(quiet), xmlOf(verbose));
}

TEST(LoggerTree, OpenContextsAreClosedInTheRenderingOnly) {
    Logger log;
    log.EnterContext("A", true);
    log.EnterContext("B", true);
    log.LogInfo("inside");
    EXPECT_EQ(xmlOf(log), underRoot("<A>\r\n<B>\r\n<info>inside</info>\r\n</B>\r\n</A>\r\n"));
    // Rendering does not leave them: the next entry still goes into B.
    EXPECT_EQ(log.contextDepth(), 3u);
    log.LogInfo("still inside");
    EXPECT_EQ(childCount(child(child(log.root(), 0), 0)), 2u);
}

TEST(LoggerTree, EmptyContextInsideAnotherIsDroppedButTheOuterOneKept) {
    Logger log;
    log.EnterContext("Outer", true);
    log.EnterContext("Inner", true);
    log.LeaveContext();
    log.LeaveContext();
    EXPECT_EQ(xmlOf(log), underRoot("<Outer>\r\n</Outer>\r\n"));
}

TEST(LoggerTree, InnerContextIsDroppedAlreadyWhenItIsLeft) {
    Logger log;
    log.EnterContext("Outer", true);
    log.EnterContext("Inner", true);
    log.LeaveContext();
    EXPECT_EQ(childCount(child(log.root(), 0)), 0u);
    EXPECT_EQ(log.contextDepth(), 2u);
}

TEST(LoggerTree, EmptyContextsDirectlyUnderTheRootAreAllKept) {
    Logger log;
    log.EnterContext("First", true);
    log.LeaveContext();
    log.EnterContext("Second", true);
    log.LeaveContext();
    EXPECT_EQ(xmlOf(log), underRoot("<First>\r\n</First>\r\n<Second>\r\n</Second>\r\n"));
}

TEST(LoggerTree, InnerContextWithAnyEntryIsKept) {
    for (int kind = 0; kind < 4; ++kind) {
        Logger log;
        log.EnterContext("Outer", true);
        log.EnterContext("Inner", true);
        switch (kind) {
            case 0: log.LogInfo("i"); break;
            case 1: log.LogError("e"); break;
            case 2: log.LogRaw("r"); break;
            default: log.LogDataLong("n", 1); break;
        }
        log.LeaveContext();
        log.LeaveContext();
        const LogEntry2* outer = child(log.root(), 0);
        ASSERT_EQ(childCount(outer), 1u) << "entry kind #" << kind;
        EXPECT_EQ(str(child(outer, 0)->name()), "Inner");
        EXPECT_EQ(childCount(child(outer, 0)), 1u);
    }
}

TEST(LoggerTree, InnerContextHoldingOnlyAnEmptiedContextIsDroppedToo) {
    Logger log;
    log.EnterContext("A", true);
    log.EnterContext("B", true);
    log.EnterContext("C", true);
    log.LeaveContext();  // C dropped, B now empty
    log.LeaveContext();  // B dropped
    log.LeaveContext();  // A stays: it hangs directly under the root
    EXPECT_EQ(xmlOf(log), underRoot("<A>\r\n</A>\r\n"));
}

TEST(LoggerTree, OnlyTheContextJustLeftIsPruned) {
    Logger log;
    log.EnterContext("Outer", true);
    log.EnterContext("Full", true);
    log.LogInfo("kept");
    log.LeaveContext();
    log.EnterContext("Empty", true);
    log.LeaveContext();
    log.LogInfo("after");
    log.LeaveContext();
    EXPECT_EQ(xmlOf(log), underRoot("<Outer>\r\n<Full>\r\n<info>kept</info>\r\n</Full>\r\n"
                                    "<info>after</info>\r\n</Outer>\r\n"));
}

TEST(LoggerTree, ExtraLeaveCallsStopAtTheRoot) {
    Logger log;
    EXPECT_TRUE(log.LeaveContext());
    log.LeaveContext();
    EXPECT_EQ(log.contextDepth(), 1u);
    EXPECT_EQ(xmlOf(log), "<BrenvikLog>\r\n</BrenvikLog>\r\n");

    log.EnterContext("A", true);
    log.LogInfo("x");
    log.LeaveContext();
    log.LeaveContext();
    log.LeaveContext();
    EXPECT_EQ(log.contextDepth(), 1u);
    // The root is still the current context and still holds A.
    log.LogInfo("at root");
    EXPECT_EQ(xmlOf(log), underRoot("<A>\r\n<info>x</info>\r\n</A>\r\n<info>at root</info>\r\n"));
}

TEST(LoggerTree, ClearLogDiscardsEverythingIncludingOpenContexts) {
    Logger log;
    log.EnterContext("A", true);
    log.EnterContext("B", true);
    log.LogError("old");
    log.ClearLog();
    EXPECT_EQ(log.contextDepth(), 1u);
    EXPECT_EQ(xmlOf(log), "<BrenvikLog>\r\n</BrenvikLog>\r\n");
    log.LogInfo("new");
    EXPECT_EQ(xmlOf(log), underRoot("<info>new</info>\r\n"));
    EXPECT_EQ(str(log.root()->name()), "BrenvikLog");
}

TEST(LoggerTree, ContextExitorLeavesOnEveryPath) {
    Logger log;
    auto op = [&log](bool early) {
        LogContextExitor ctx(log, "Op");
        log.LogInfo("start");
        if (early) return false;
        log.LogInfo("end");
        return true;
    };
    EXPECT_FALSE(op(true));
    EXPECT_EQ(log.contextDepth(), 1u);
    EXPECT_TRUE(op(false));
    EXPECT_EQ(log.contextDepth(), 1u);
    EXPECT_EQ(childCount(log.root()), 2u);
}

TEST(LoggerTree, NullContextNameStillBalancesEnterAndLeave) {
    Logger log;
    log.EnterContext("Outer", true);
    EXPECT_TRUE(log.EnterContext(nullptr, true));
    EXPECT_EQ(log.contextDepth(), 3u);
    log.LogInfo("x");
    log.LeaveContext();
    EXPECT_EQ(log.contextDepth(), 2u);
    log.LogInfo("back in outer");
    EXPECT_EQ(childCount(child(log.root(), 0)), 2u);
}

TEST(LoggerTree, VeryDeepUnbalancedNestingRendersAndFrees) {
    // A caller that forgets LeaveContext in a loop must not exhaust the
    // stack when the log is rendered or destroyed.
    const uint32_t levels = 200000;
    auto log = std::make_unique<Logger>();
    for (uint32_t i = 0; i < levels; ++i) log->EnterContext("d", true);
    log->LogInfo("bottom");
    EXPECT_EQ(log->contextDepth(), levels + 1);
    std::string xml = xmlOf(*log);
    EXPECT_EQ(countOf(xml, "<d>\r\n"), levels);
    EXPECT_EQ(countOf(xml, "</d>\r\n"), levels);
    EXPECT_NE(xml.find("<d>\r\n<info>bottom</info>\r\n</d>\r\n"), std::string::npos);
    StringBuffer text;
    log->GetText(text);
    EXPECT_GT(text.length(), levels);
    log->ClearLog();
    EXPECT_EQ(xmlOf(*log), "<BrenvikLog>\r\n</BrenvikLog>\r\n");
    for (uint32_t i = 0; i < levels; ++i) log->EnterContext("d", true);
    log.reset();  // destructor with a deep tree
    SUCCEED();
}
