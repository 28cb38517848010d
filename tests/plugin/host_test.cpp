// The plug-in as a host sees it: loaded at run time, driven only through
// email_interface.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "host_support.h"

using host_test::closedLoopbackPort;
using host_test::Plugin;
using host_test::ScratchDir;

namespace {

const std::wstring kNone;

// Points the plug-in at a loopback port where nothing listens, so that a
// send fails fast whatever the engine underneath can do.
void useDeadServer(Plugin& p, const wchar_t* login = L"alice", const wchar_t* password = L"pw") {
    ASSERT_TRUE(p->set_server(L"127.0.0.1", closedLoopbackPort().c_str(), login, password));
}

// ------------------------------------------------------------ factory, names

TEST(Factory, EveryCallBuildsANewObject) {
    Createsmtp_plugin_fn create = host_test::factory();
    email_interface* a = create();
    email_interface* b = create();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    delete a;
    delete b;
}

TEST(Factory, ClassNameIsTheInterfaceName) {
    Plugin p;
    EXPECT_STREQ(p->get_class_name(), "email_interface");
    // The base-class view a host framework would use gives the same answer.
    PDL::DynamicClass* base = p.get();
    EXPECT_STREQ(base->get_class_name(), "email_interface");
}

TEST(Factory, InternalSymbolsAreNotReachable) {
    EXPECT_NE(host_test::findSymbol("Createsmtp_plugin"), nullptr);
    EXPECT_EQ(host_test::findSymbol("_ZN11smtp_plugin4sendEv"), nullptr);
    EXPECT_EQ(host_test::findSymbol("_Z13releaseCachesv"), nullptr);
    EXPECT_EQ(host_test::findSymbol("_ZN10ClsMailMan9SendEmailER8ClsEmail"), nullptr);
}

// ------------------------------------------------------------ argument checks

struct Setter {
    const char* name;
    bool (*call)(email_interface*, const wchar_t*);
    bool required;                // required non-empty, else may be empty
    bool resultOnSuccess;         // add_cc and add_bcc answer false even then
    const wchar_t* goodArgument;  // one the slot accepts (a file in the scratch directory)
};

const Setter kSetters[] = {
    {"set_from", [](email_interface* m, const wchar_t* s) { return m->set_from(s); }, true, true,
     L"alice@example.com"},
    {"add_to", [](email_interface* m, const wchar_t* s) { return m->add_to(s); }, true, true,
     L"bob@example.com"},
    {"add_cc", [](email_interface* m, const wchar_t* s) { return m->add_cc(s); }, true, false,
     L"carol@example.com"},
    {"add_bcc", [](email_interface* m, const wchar_t* s) { return m->add_bcc(s); }, true, false,
     L"dave@example.com"},
    {"set_subject", [](email_interface* m, const wchar_t* s) { return m->set_subject(s); }, false,
     true, L"Subject"},
    {"set_body", [](email_interface* m, const wchar_t* s) { return m->set_body(s); }, false, true,
     L"Body text"},
    {"set_html_body", [](email_interface* m, const wchar_t* s) { return m->set_html_body(s); },
     false, true, L"<p>Body</p>"},
    {"add_attachment", [](email_interface* m, const wchar_t* s) { return m->add_attachment(s); },
     true, true, L"attach.txt"},
};

class SetterCheck : public ::testing::TestWithParam<Setter> {};

TEST_P(SetterCheck, NullIsRefusedWithNullPointer) {
    Plugin p;
    EXPECT_FALSE(GetParam().call(p.get(), nullptr));
    EXPECT_EQ(p.takeError(), L"ERROR_NULL_POINTER");
    EXPECT_EQ(p.takeError(), kNone);
}

TEST_P(SetterCheck, EmptyTextIsRefusedOnlyWhenRequired) {
    Plugin p;
    bool result = GetParam().call(p.get(), L"");
    if (GetParam().required) {
        EXPECT_FALSE(result);
        EXPECT_EQ(p.takeError(), L"ERROR_INVALID_ARG");
    } else {
        EXPECT_TRUE(result);
        EXPECT_EQ(p.takeError(), kNone);
    }
}

TEST_P(SetterCheck, RefusedArgumentCreatesNoClientObjects) {
    Plugin p;
    GetParam().call(p.get(), nullptr);
    if (GetParam().required) GetParam().call(p.get(), L"");
    p.takeError();
    EXPECT_FALSE(p->send());
    EXPECT_EQ(p.takeError(), L"ERROR_NULL_POINTER");
}

TEST_P(SetterCheck, AcceptedArgumentGivesTheSlotResultAndNoCode) {
    ScratchDir dir;
    dir.write("attach.txt", "data");
    Plugin p;
    EXPECT_EQ(GetParam().call(p.get(), GetParam().goodArgument), GetParam().resultOnSuccess);
    EXPECT_EQ(p.takeError(), kNone);
}

TEST_P(SetterCheck, PendingCodeSurvivesALaterSuccess) {
    ScratchDir dir;
    dir.write("attach.txt", "data");
    Plugin p;
    EXPECT_FALSE(p->reserved_a(nullptr, nullptr, nullptr));
    EXPECT_EQ(GetParam().call(p.get(), GetParam().goodArgument), GetParam().resultOnSuccess);
    EXPECT_EQ(p.takeError(), L"ERROR_NOT_IMPLEMENTED");
}

INSTANTIATE_TEST_SUITE_P(AllSetters, SetterCheck, ::testing::ValuesIn(kSetters),
                         [](const ::testing::TestParamInfo<Setter>& info) {
                             return std::string(info.param.name);
                         });

// ------------------------------------------------------------ error codes

TEST(ErrorCode, FreshObjectHasNone) {
    Plugin p;
    const wchar_t* e = p->get_last_error();
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e, L"");
}

TEST(ErrorCode, ReadTwiceGivesCodeThenEmpty) {
    Plugin p;
    p->add_to(nullptr);
    EXPECT_EQ(p.takeError(), L"ERROR_NULL_POINTER");
    EXPECT_EQ(p.takeError(), kNone);
}

TEST(ErrorCode, LaterFailureOverwritesEarlierCode) {
    Plugin p;
    p->add_to(nullptr);
    p->add_to(L"");
    EXPECT_EQ(p.takeError(), L"ERROR_INVALID_ARG");
}

TEST(ErrorCode, SurvivesSuccessfulOperationsOfEveryKind) {
    Plugin p;
    p->set_from(nullptr);
    EXPECT_TRUE(p->set_subject(L"s"));
    EXPECT_TRUE(p->add_to(L"bob@example.com"));
    EXPECT_TRUE(p->new_message());
    // No login: the login test stops before any network activity.
    EXPECT_TRUE(p->set_server(L"127.0.0.1", L"25", L"", L""));
    p->open();
    EXPECT_STREQ(p->get_option(L"x"), L"");
    EXPECT_FALSE(p->connect());
    EXPECT_EQ(p.takeError(), L"ERROR_NULL_POINTER");
}

TEST(ErrorCode, ClearedByClose) {
    Plugin p;
    p->reserved_a(nullptr, nullptr, nullptr);
    p->close();
    EXPECT_EQ(p.takeError(), kNone);
}

TEST(ErrorCode, ClearedByDisconnect) {
    Plugin p;
    p->reserved_b(nullptr, nullptr, nullptr, nullptr);
    p->disconnect();
    EXPECT_EQ(p.takeError(), kNone);
}

TEST(ErrorCode, ClearedByShutdown) {
    Plugin p;
    p->add_to(L"");
    p->shutdown();
    EXPECT_EQ(p.takeError(), kNone);
}

TEST(ErrorCode, ReturnedTextStaysValidAcrossOtherCalls) {
    Plugin p;
    p->add_to(nullptr);
    const wchar_t* code = p->get_last_error();
    // Other operations use their own buffers.
    p->get_option(L"a");
    p->set_option(L"a", L"b");
    p->add_to(L"");
    EXPECT_STREQ(code, L"ERROR_NULL_POINTER");
    EXPECT_EQ(p.takeError(), L"ERROR_INVALID_ARG");
}

TEST(ErrorCode, InstancesDoNotShareCodes) {
    Plugin a, b;
    a->reserved_a(nullptr, nullptr, nullptr);
    EXPECT_EQ(b.takeError(), kNone);
    EXPECT_EQ(a.takeError(), L"ERROR_NOT_IMPLEMENTED");
}

TEST(Reserved, BothSlotsAreNotImplemented) {
    Plugin p;
    int x = 0;
    EXPECT_FALSE(p->reserved_a(&x, &x, &x));
    EXPECT_EQ(p.takeError(), L"ERROR_NOT_IMPLEMENTED");
    EXPECT_FALSE(p->reserved_b(&x, nullptr, &x, nullptr));
    EXPECT_EQ(p.takeError(), L"ERROR_NOT_IMPLEMENTED");
    EXPECT_EQ(x, 0);
}

// ------------------------------------------------------------ options, server

TEST(Options, GetOptionIsAlwaysEmpty) {
    Plugin p;
    for (const wchar_t* name :
         {L"", L"timeout", L"\U0001F600", static_cast<const wchar_t*>(nullptr)}) {
        const wchar_t* v = p->get_option(name);
        ASSERT_NE(v, nullptr);
        EXPECT_STREQ(v, L"");
    }
    EXPECT_EQ(p.takeError(), kNone);
}

TEST(Options, SetOptionKeepsNothingAndAnswersEmpty) {
    Plugin p;
    const wchar_t* v = p->set_option(L"timeout", L"30");
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, L"");
    EXPECT_STREQ(p->get_option(L"timeout"), L"");
    v = p->set_option(nullptr, nullptr);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, L"");
    EXPECT_EQ(p.takeError(), kNone);
}

TEST(Options, DoNotCreateClientObjects) {
    Plugin p;
    p->set_option(L"a", L"b");
    p->get_option(L"a");
    EXPECT_FALSE(p->send());
    EXPECT_EQ(p.takeError(), L"ERROR_NULL_POINTER");
}

TEST(Server, AnyArgumentsAreAcceptedWithoutACode) {
    Plugin p;
    EXPECT_TRUE(p->set_server(nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(p->set_server(L"", L"", L"", L""));
    EXPECT_TRUE(p->set_server(L"HTTPS://Mail.Example.COM/", L"  +587", L"user", L"pw"));
    for (const wchar_t* port : {L"abc", L"-25", L"- 5", L"99999999999", L"\U0001F600", L"25abc"})
        EXPECT_TRUE(p->set_server(L"host", port, L"u", L"p"));
    EXPECT_EQ(p.takeError(), kNone);
}

TEST(Server, CreatesTheClientObjects) {
    ScratchDir dir;
    Plugin p;
    useDeadServer(p);
    EXPECT_FALSE(p->send());
    EXPECT_EQ(p.takeError(), L"ERROR_SEND_FAILED");
}

// ------------------------------------------------------------ connect

TEST(Connect, WithoutMailManagerFailsWithoutCode) {
    Plugin p;
    EXPECT_FALSE(p->connect());
    EXPECT_EQ(p.takeError(), kNone);
}

TEST(Connect, WithoutCredentialsFailsWithoutCode) {
    Plugin p;
    p->open();
    EXPECT_FALSE(p->connect());
    EXPECT_EQ(p.takeError(), kNone);
}

TEST(Connect, UnreachableServerFailsWithoutCodeOrFile) {
    ScratchDir dir;
    Plugin p;
    useDeadServer(p, L"alice", L"secret");
    EXPECT_FALSE(p->connect());
    EXPECT_EQ(p.takeError(), kNone);
    EXPECT_FALSE(dir.exists("smtp_errors.xml"));
}

// ------------------------------------------------------------ cc and bcc

TEST(CopyRecipients, AnswerFalseYetAreAdded) {
    ScratchDir dir;
    Plugin p;
    EXPECT_FALSE(p->add_cc(L"carol@example.com"));
    EXPECT_EQ(p.takeError(), kNone);
    EXPECT_FALSE(p->add_bcc(L"dave@example.com"));
    EXPECT_EQ(p.takeError(), kNone);
    useDeadServer(p);
    EXPECT_FALSE(p->send());
    std::string log = dir.read("smtp_errors.xml");
    EXPECT_NE(log.find("<CC>carol@example.com</CC>"), std::string::npos) << log;
    EXPECT_NE(log.find("<BCC>dave@example.com</BCC>"), std::string::npos) << log;
}

TEST(CopyRecipients, LeaveAPendingCodeUnchanged) {
    Plugin p;
    p->add_to(L"");
    EXPECT_FALSE(p->add_cc(L"carol@example.com"));
    EXPECT_FALSE(p->add_bcc(L"dave@example.com"));
    EXPECT_EQ(p.takeError(), L"ERROR_INVALID_ARG");
}

// ------------------------------------------------------------ attachments

TEST(Attachment, DirectoryIsNotAFile) {
    ScratchDir dir;
    Plugin p;
    EXPECT_FALSE(p->add_attachment(dir.widePath().c_str()));
    EXPECT_EQ(p.takeError(), L"ERROR_FILE_NOT_FOUND");
    EXPECT_FALSE(p->send());
    EXPECT_EQ(p.takeError(), L"ERROR_NULL_POINTER");
}

TEST(Attachment, MissingFileCreatesNoClientObjects) {
    ScratchDir dir;
    Plugin p;
    EXPECT_FALSE(p->add_attachment(L"no-such-file.txt"));
    EXPECT_EQ(p.takeError(), L"ERROR_FILE_NOT_FOUND");
    EXPECT_FALSE(p->send());
    EXPECT_EQ(p.takeError(), L"ERROR_NULL_POINTER");
}

TEST(Attachment, FileWithNonAsciiNameIsFound) {
    ScratchDir dir;
    // The name on disk is UTF-8; the host passes it as a wide string.
    dir.write(
        "pi\xC3\xA8"
        "ce-\xE2\x82\xAC-\xF0\x9F\x98\x80.txt",
        "hello\n");
    Plugin p;
    EXPECT_TRUE(p->add_attachment(L"pi\u00E8ce-\u20AC-\U0001F600.txt"));
    EXPECT_EQ(p.takeError(), kNone);
    // The same name with the accent missing is another file.
    EXPECT_FALSE(p->add_attachment(L"piece-\u20AC-\U0001F600.txt"));
    EXPECT_EQ(p.takeError(), L"ERROR_FILE_NOT_FOUND");
}

TEST(Attachment, InvalidCodeUnitsInPathAreNotFoundAndDoNotCrash) {
    ScratchDir dir;
    Plugin p;
    const wchar_t lone[] = {L'a', static_cast<wchar_t>(0xD800), L'b', 0};
    EXPECT_FALSE(p->add_attachment(lone));
    EXPECT_EQ(p.takeError(), L"ERROR_FILE_NOT_FOUND");
}

// ------------------------------------------------------------ sending

TEST(Send, BeforeAnySetterIsNullPointer) {
    ScratchDir dir;
    Plugin p;
    EXPECT_FALSE(p->send());
    EXPECT_EQ(p.takeError(), L"ERROR_NULL_POINTER");
    EXPECT_FALSE(dir.exists("smtp_errors.xml"));
}

TEST(Send, FailureWritesTheActivityLogWithoutThePassword) {
    ScratchDir dir;
    Plugin p;
    useDeadServer(p, L"alice", L"S3cr3t-P\u00E4ss");
    EXPECT_TRUE(p->set_from(L"alice@example.com"));
    EXPECT_TRUE(p->add_to(L"bob@example.com"));
    EXPECT_TRUE(p->add_to(L"  eve@example.com  "));
    p->add_cc(L"carol@example.com");
    EXPECT_TRUE(p->set_subject(L"Hello"));
    EXPECT_TRUE(p->set_body(L"Body"));
    EXPECT_TRUE(p->set_html_body(L"<p>Body</p>"));

    EXPECT_FALSE(p->send());
    EXPECT_EQ(p.takeError(), L"ERROR_SEND_FAILED");
    ASSERT_TRUE(dir.exists("smtp_errors.xml"));
    std::string log = dir.read("smtp_errors.xml");
    EXPECT_NE(log.find("<SendEmail>"), std::string::npos) << log;
    EXPECT_NE(log.find("<DllDate>Feb  8 2009</DllDate>"), std::string::npos) << log;
    EXPECT_NE(log.find("<NumTo>2</NumTo>"), std::string::npos) << log;
    EXPECT_NE(log.find("<To>bob@example.com</To>"), std::string::npos) << log;
    EXPECT_NE(log.find("<To>eve@example.com</To>"), std::string::npos) << log;
    EXPECT_NE(log.find("<NumCC>1</NumCC>"), std::string::npos) << log;
    EXPECT_NE(log.find("<error>"), std::string::npos) << log;
    EXPECT_EQ(log.find("S3cr3t"), std::string::npos) << log;
}

TEST(Send, ReplacesAnOlderErrorFile) {
    ScratchDir dir;
    dir.write("smtp_errors.xml", std::string(10000, 'z'));
    Plugin p;
    useDeadServer(p);
    p->add_to(L"bob@example.com");
    EXPECT_FALSE(p->send());
    std::string log = dir.read("smtp_errors.xml");
    EXPECT_EQ(log.find("zzz"), std::string::npos);
    EXPECT_NE(log.find("<SendEmail>"), std::string::npos);
}

TEST(Send, DropsTheMessageButKeepsTheMailManager) {
    ScratchDir dir;
    Plugin p;
    useDeadServer(p);
    p->add_to(L"bob@example.com");
    EXPECT_FALSE(p->send());
    p.takeError();
    // The message is gone: nothing to send.
    EXPECT_FALSE(p->send());
    EXPECT_EQ(p.takeError(), L"ERROR_NULL_POINTER");
    // A setter starts a fresh, empty message; the server settings remain.
    EXPECT_TRUE(p->set_subject(L"second"));
    EXPECT_FALSE(p->send());
    EXPECT_EQ(p.takeError(), L"ERROR_SEND_FAILED");
    std::string log = dir.read("smtp_errors.xml");
    EXPECT_NE(log.find("<NumTo>0</NumTo>"), std::string::npos) << log;
    EXPECT_EQ(log.find("bob@example.com"), std::string::npos) << log;
}

TEST(Send, NewMessageDiscardsEarlierRecipients) {
    ScratchDir dir;
    Plugin p;
    useDeadServer(p);
    p->add_to(L"bob@example.com");
    EXPECT_TRUE(p->new_message());
    p->add_to(L"carol@example.com");
    EXPECT_FALSE(p->send());
    std::string log = dir.read("smtp_errors.xml");
    EXPECT_NE(log.find("<NumTo>1</NumTo>"), std::string::npos) << log;
    EXPECT_NE(log.find("carol@example.com"), std::string::npos) << log;
    EXPECT_EQ(log.find("bob@example.com"), std::string::npos) << log;
}

TEST(Send, NewMessageAloneMakesTheObjectsExist) {
    ScratchDir dir;
    Plugin p;
    EXPECT_TRUE(p->new_message());
    EXPECT_EQ(p.takeError(), kNone);
    useDeadServer(p);  // only to keep the send off any real server
    EXPECT_FALSE(p->send());
    EXPECT_EQ(p.takeError(), L"ERROR_SEND_FAILED");
}

TEST(Send, CloseDropsTheObjects) {
    for (int how = 0; how < 3; ++how) {
        Plugin p;
        p->open();
        if (how == 0) p->close();
        if (how == 1) p->disconnect();
        if (how == 2) p->shutdown();
        EXPECT_FALSE(p->send()) << how;
        EXPECT_EQ(p.takeError(), L"ERROR_NULL_POINTER") << how;
    }
}

TEST(Send, UsableAgainAfterShutdown) {
    ScratchDir dir;
    Plugin p;
    p->open();
    p->shutdown();
    p->shutdown();
    EXPECT_TRUE(p->add_to(L"bob@example.com"));
    useDeadServer(p);
    EXPECT_FALSE(p->send());
    EXPECT_EQ(p.takeError(), L"ERROR_SEND_FAILED");
    EXPECT_NE(dir.read("smtp_errors.xml").find("<To>bob@example.com</To>"), std::string::npos);
}

// ------------------------------------------------------------ odd wide text

TEST(WideText, NonBmpAndInvalidCodeUnitsNeverCrash) {
    ScratchDir dir;
    Plugin p;
    const wchar_t nonBmp[] = L"\U0001F600 \U00010348 mail";
    const wchar_t loneHigh[] = {static_cast<wchar_t>(0xD800), 0};
    const wchar_t loneLow[] = {L'x', static_cast<wchar_t>(0xDFFF), L'y', 0};
    std::wstring big;  // values that are no Unicode code point at all on a 32-bit wchar_t
    if (sizeof(wchar_t) == 4) {
        big.push_back(static_cast<wchar_t>(0x110000));
        big.push_back(static_cast<wchar_t>(-1));
    }
    big += L"@example.com";
    for (const wchar_t* t : {nonBmp, loneHigh, loneLow, static_cast<const wchar_t*>(big.c_str())}) {
        EXPECT_TRUE(p->set_subject(t));
        EXPECT_TRUE(p->set_body(t));
        EXPECT_TRUE(p->set_html_body(t));
        EXPECT_TRUE(p->set_from(t));
        EXPECT_TRUE(p->add_to(t));
        p->add_cc(t);
        p->add_bcc(t);
        EXPECT_TRUE(p->set_server(t, t, t, t));
        p->get_option(t);
        p->set_option(t, t);
    }
    EXPECT_EQ(p.takeError(), kNone);
    useDeadServer(p);
    EXPECT_FALSE(p->send());
    EXPECT_EQ(p.takeError(), L"ERROR_SEND_FAILED");
}

// U+1F600 as the host's wide string holds it: a surrogate pair where wchar_t
// has 16 bits (Windows), a single unit where it has 32 (Linux).
#if WCHAR_MAX <= 0xFFFF
const wchar_t kNonBmp[] = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00), 0};
#else
const wchar_t kNonBmp[] = {static_cast<wchar_t>(0x1F600), 0};
#endif
// The same two units in the wrong order: two unpaired surrogates.
const wchar_t kSwappedPair[] = {static_cast<wchar_t>(0xDE00), static_cast<wchar_t>(0xD83D), 0};
const char kNonBmpUtf8[] = "\xF0\x9F\x98\x80";
const char kReplacementUtf8[] = "\xEF\xBF\xBD";

std::wstring wide(const wchar_t* a, const wchar_t* b, const wchar_t* c) {
    return std::wstring(a) + b + c;
}

TEST(WideText, NonBmpCharacterNamesTheFileOnDisk) {
    ScratchDir dir;
    dir.write(std::string("grin-") + kNonBmpUtf8 + ".txt", "x");
    Plugin p;
    EXPECT_TRUE(p->add_attachment(wide(L"grin-", kNonBmp, L".txt").c_str()));
    EXPECT_EQ(p.takeError(), kNone);
#if WCHAR_MAX <= 0xFFFF
    // Half of the pair is another name.
    const wchar_t half[] = {kNonBmp[0], 0};
    EXPECT_FALSE(p->add_attachment(wide(L"grin-", half, L".txt").c_str()));
    EXPECT_EQ(p.takeError(), L"ERROR_FILE_NOT_FOUND");
#endif
}

TEST(WideText, SwappedSurrogatesBecomeTwoReplacementCharacters) {
    ScratchDir dir;
    dir.write(std::string("grin-") + kReplacementUtf8 + kReplacementUtf8 + ".txt", "x");
    Plugin p;
    EXPECT_TRUE(p->add_attachment(wide(L"grin-", kSwappedPair, L".txt").c_str()));
    EXPECT_EQ(p.takeError(), kNone);
}

TEST(WideText, NonBmpRecipientIsLoggedAsUtf8) {
    ScratchDir dir;
    Plugin p;
    useDeadServer(p);
    EXPECT_TRUE(p->add_to(wide(L"grin", kNonBmp, L"@example.com").c_str()));
    EXPECT_TRUE(p->add_to(wide(L"odd", kSwappedPair, L"@example.com").c_str()));
    EXPECT_FALSE(p->send());
    EXPECT_EQ(p.takeError(), L"ERROR_SEND_FAILED");
    std::string log = dir.read("smtp_errors.xml");
    EXPECT_NE(log.find(std::string("<To>grin") + kNonBmpUtf8 + "@example.com</To>"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(std::string("<To>odd") + kReplacementUtf8 + kReplacementUtf8 +
                       "@example.com</To>"),
              std::string::npos)
        << log;
}

// ------------------------------------------------------------ destruction

void destroyAfter(void (*steps)(email_interface*)) {
    ScratchDir dir;
    email_interface* m = host_test::factory()();
    ASSERT_NE(m, nullptr);
    steps(m);
    delete m;  // slot 1; the sanitizer build reports leaks and double frees
}

TEST(Destruction, Fresh) {
    destroyAfter([](email_interface*) {});
}
TEST(Destruction, AfterOpen) {
    destroyAfter([](email_interface* m) { m->open(); });
}
TEST(Destruction, AfterComposing) {
    destroyAfter([](email_interface* m) {
        m->add_to(L"bob@example.com");
        m->set_subject(L"s");
        m->add_attachment(L"missing");
    });
}
TEST(Destruction, AfterSend) {
    destroyAfter([](email_interface* m) {
        m->set_server(L"127.0.0.1", closedLoopbackPort().c_str(), L"u", L"p");
        m->add_to(L"bob@example.com");
        m->send();
    });
}
TEST(Destruction, AfterSendAndNewMessage) {
    destroyAfter([](email_interface* m) {
        m->set_server(L"127.0.0.1", closedLoopbackPort().c_str(), L"u", L"p");
        m->send();
        m->new_message();
    });
}
TEST(Destruction, AfterClose) {
    destroyAfter([](email_interface* m) {
        m->open();
        m->close();
    });
}
TEST(Destruction, AfterShutdown) {
    destroyAfter([](email_interface* m) {
        m->open();
        m->shutdown();
    });
}
TEST(Destruction, WithPendingCodeAndReadStrings) {
    destroyAfter([](email_interface* m) {
        m->add_to(nullptr);
        m->get_option(L"x");
        m->reserved_b(nullptr, nullptr, nullptr, nullptr);
    });
}

}  // namespace
