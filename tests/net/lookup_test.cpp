// Name lookup on its own thread: cleaning, both retries, time-outs, and the
// lifetime of a lookup whose caller gave up. Every name goes to a fake
// resolver, so nothing here depends on a name service.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loopback_peer.h"
#include "net/brenvik_socket.h"
#include "net/hostname_resolve.h"
#include "net_test_support.h"
#include "platform/clock.h"

using namespace nettest;

namespace {

using Names = std::vector<std::string>;

// Waits for a condition that another thread brings about; false after 20 s.
template <class F>
bool eventually(F done) {
    uint32_t start = platform::tickCount();
    while (!done()) {
        if (platform::tickCount() - start > 20000) return false;
        platform::sleepMs(5);
    }
    return true;
}

class Lookup : public ::testing::Test {
  protected:
    void TearDown() override {
        resolver.release();
        EXPECT_TRUE(eventually([] { return HostnameResolve::liveCount() == 0; })) << "a lookup object leaked";
    }

    bool connect(const char* host, uint32_t timeoutMs = 5000) {
        sock.setConnectTimeoutMs(timeoutMs);
        return sock.connectSocket(host, peer.port(), log, lookupFailed);
    }

    FakeResolver resolver;
    LoopbackPeer peer;
    BrenvikSocket sock;
    Logger log;
    bool lookupFailed = false;
};

TEST_F(Lookup, NameResolvesAndConnects) {
    resolver.add("mail.test", "127.0.0.1");
    ASSERT_TRUE(connect("mail.test")) << dump(log);
    EXPECT_FALSE(lookupFailed);
    EXPECT_TRUE(sock.remoteIp().equals("127.0.0.1"));
    EXPECT_EQ(resolver.calls(), Names{"mail.test"});
}

TEST_F(Lookup, SchemePathAndPortAreCutOff) {
    resolver.add("mail.test", "127.0.0.1");
    for (const char* host : {"http://mail.test:2525/x/y", "https://mail.test/", " mail.test:25 "}) {
        Logger l;
        bool failed = false;
        EXPECT_TRUE(sock.connectSocket(host, peer.port(), l, failed)) << host << dump(l);
        ASSERT_TRUE(peer.accept());
    }
    EXPECT_EQ(resolver.calls(), (Names{"mail.test", "mail.test", "mail.test"}));
}

TEST_F(Lookup, NothingLeftAfterCleaningIsAnInvalidHostname) {
    EXPECT_FALSE(connect("http:///path"));
    EXPECT_TRUE(hasError(log, "Invalid hostname for resolving hostname to IP address."));
    EXPECT_EQ(dataOf(log, "hostname"), "http:///path");
    EXPECT_TRUE(hasError(log, "Cannot get host by name.."));
    EXPECT_EQ(sock.connectFailReason(), kConnectLookupFailed);
    EXPECT_TRUE(lookupFailed);
}

TEST_F(Lookup, UnknownNameWithTwoDotsIsTriedOnce) {
    EXPECT_FALSE(connect("Mail.Example.Test"));
    EXPECT_EQ(resolver.calls(), Names{"Mail.Example.Test"}) << "no lower-case retry without removable characters";
    EXPECT_TRUE(lookupFailed);
    EXPECT_EQ(sock.connectFailReason(), kConnectLookupFailed);
    EXPECT_TRUE(hasError(log, "Cannot get host by name.."));
    EXPECT_EQ(dataOf(log, "hostname"), "Mail.Example.Test");
    EXPECT_FALSE(hasError(log, "DNS timed out."));
}

TEST_F(Lookup, RemovableCharactersGiveACleanedLowerCaseRetry) {
    resolver.add("mail.example.test", "127.0.0.1");
    ASSERT_TRUE(connect("<Mail.Example.Test>")) << dump(log);
    EXPECT_EQ(resolver.calls(), (Names{"<Mail.Example.Test>", "mail.example.test"}));
}

TEST_F(Lookup, OneDotGetsAWwwRetry) {
    resolver.add("www.example.test", "127.0.0.1");
    ASSERT_TRUE(connect("Example.test")) << dump(log);
    EXPECT_EQ(resolver.calls(), (Names{"Example.test", "www.example.test"}));

    // Both retries in turn, then failure.
    Logger l;
    bool failed = false;
    EXPECT_FALSE(sock.connectSocket("'nowhere.test'", peer.port(), l, failed));
    EXPECT_EQ(resolver.calls(),
              (Names{"Example.test", "www.example.test", "'nowhere.test'", "nowhere.test", "www.nowhere.test"}));
}

TEST_F(Lookup, AddressZeroIsALookupFailure) {
    resolver.add("zero.test", "0.0.0.0");
    EXPECT_FALSE(connect("zero.test"));
    EXPECT_EQ(sock.connectFailReason(), kConnectLookupFailed);
    EXPECT_TRUE(hasError(log, "Cannot get host by name.."));
}

TEST_F(Lookup, TimeOutReturnsWhileTheThreadFinishesLater) {
    resolver.hold("slow.test");
    uint32_t start = platform::tickCount();
    EXPECT_FALSE(connect("slow.test", 300));
    uint32_t spent = platform::tickCount() - start;
    EXPECT_GE(spent, 300u);
    EXPECT_LT(spent, 10000u);
    EXPECT_EQ(sock.connectFailReason(), kConnectLookupTimedOut);
    EXPECT_TRUE(lookupFailed);
    EXPECT_TRUE(hasError(log, "DNS timed out."));
    EXPECT_TRUE(hasError(log, "Cannot get host by name.."));
    EXPECT_EQ(resolver.calls(), Names{"slow.test"}) << "no retry once the time is used up";
    // The abandoned lookup still runs and owns its object.
    EXPECT_EQ(HostnameResolve::liveCount(), 1);
    EXPECT_EQ(resolver.finishedCalls(), 0);
    resolver.release();
    EXPECT_TRUE(eventually([] { return HostnameResolve::liveCount() == 0; }));
    EXPECT_EQ(resolver.finishedCalls(), 1);
}

TEST_F(Lookup, ResolveReportsTimeOutWithinTheCheckInterval) {
    resolver.hold("slow.test");
    HostnameResolve* r = HostnameResolve::createNew();
    ASSERT_NE(r, nullptr);
    StringBuffer ip;
    uint32_t address = 1;
    bool timedOut = false;
    uint32_t start = platform::tickCount();
    EXPECT_FALSE(r->resolve("slow.test", 100, log, ip, address, timedOut));
    EXPECT_GE(platform::tickCount() - start, 100u);
    EXPECT_TRUE(timedOut);
    EXPECT_TRUE(ip.isEmpty());
    EXPECT_EQ(r->refCount(), 2) << "the thread holds its own reference";
    r->decRefCount();
    EXPECT_EQ(HostnameResolve::liveCount(), 1);
    resolver.release();
    EXPECT_TRUE(eventually([] { return HostnameResolve::liveCount() == 0; }));
}

TEST_F(Lookup, LookupThatUsesUpTheConnectTimeOutFailsAfterDns) {
    // The answer comes after 60 ms, well before the 200 ms time-out check,
    // but after the 1 ms connect time-out.
    resolver.add("late.test", "127.0.0.1");
    resolver.hold("late.test", 60);
    EXPECT_FALSE(connect("late.test", 1));
    EXPECT_TRUE(hasError(log, "Application timeout after DNS")) << dump(log);
    EXPECT_EQ(sock.connectFailReason(), kConnectLookupTimedOut);
}

TEST_F(Lookup, LocalHostnameIsTheOfficialNameWhenFound) {
    std::string plain;
    int err = 0;
    ASSERT_TRUE(platform::localHostName(plain, err));
    StringBuffer name;
    EXPECT_TRUE(BrenvikSocket::getLocalHostname(name, log));
    EXPECT_EQ(std::string(name.getString()), plain) << "no lookup succeeded";

    resolver.add(plain, "127.0.0.1", "official.example.test");
    EXPECT_TRUE(BrenvikSocket::getLocalHostname(name, log));
    EXPECT_TRUE(name.equals("official.example.test"));
}

TEST(RefCounting, LastReleaseFreesAndExtraReleasesStayAtZero) {
    HostnameResolve* r = HostnameResolve::createNew();
    ASSERT_NE(r, nullptr);
    int before = HostnameResolve::liveCount();
    r->incRefCount();
    r->decRefCount();
    EXPECT_EQ(r->refCount(), 1);
    EXPECT_EQ(HostnameResolve::liveCount(), before);
    r->decRefCount();
    EXPECT_EQ(HostnameResolve::liveCount(), before - 1);
}

}  // namespace
