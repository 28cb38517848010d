// A host built for the Visual C++ ABI that drives every slot of the module's
// table in turn and sends one message. Settings come from the environment:
//   ABI_HOST_DLL         path of smtp_plugin.dll
//   ABI_HOST_PORT        port of the SMTP server on 127.0.0.1, which takes
//                        the login "abi-user" with the password "abi pass 1"
//   ABI_HOST_ATTACHMENT  an existing file to attach
//   ABI_HOST_MISSING     a path that does not exist
// Prints one line per check and exits with the number of failed checks.
#include "host_runtime.h"

namespace {

bool expectCode(email_interface* p, const wchar_t* code, const char* what) {
    const wchar_t* got = HOST_CALL(p->get_last_error());  // slot 22
    const bool ok = host::same(got, code);
    host::check(ok, what);
    if (!ok) {
        host::write("        get_last_error gave \"");
        host::writeWide(got);
        host::write("\"\n");
    }
    return ok;
}

void run(email_interface* p) {
    wchar_t port[16], attachment[400], missing[400];
    host::env(L"ABI_HOST_PORT", port, 16);
    host::env(L"ABI_HOST_ATTACHMENT", attachment, 400);
    host::env(L"ABI_HOST_MISSING", missing, 400);

    // slot 0
    host::check(host::same(HOST_CALL(p->get_class_name()), "email_interface"),
                "slot 0 get_class_name is \"email_interface\"");
    HOST_CALL_VOID(p->open());  // slot 2
    const wchar_t* version = HOST_CALL(p->get_option(L"version"));
    host::check(version && version[0] >= L'0' && version[0] <= L'9',
                "slot 5 get_option answers the version");
    host::check(host::same(HOST_CALL(p->get_option(L"any name")), L""),
                "slot 5 get_option answers the empty string");
    host::check(host::same(HOST_CALL(p->set_option(L"read_timeout", L"20")), L"20"),
                "slot 6 set_option answers the setting's value");

    int a = 1, b = 2, c = 3, d = 4;
    host::check(!HOST_CALL(p->reserved_a(&a, &b, &c)), "slot 7 reserved_a answers false");
    expectCode(p, L"ERROR_NOT_IMPLEMENTED", "slot 7 sets ERROR_NOT_IMPLEMENTED");
    host::check(!HOST_CALL(p->reserved_b(&a, &b, &c, &d)), "slot 9 reserved_b answers false");
    expectCode(p, L"ERROR_NOT_IMPLEMENTED", "slot 9 sets ERROR_NOT_IMPLEMENTED");
    expectCode(p, L"", "slot 22 cleared the code it handed out");

    host::check(HOST_CALL(p->set_server(L"127.0.0.1", port, L"abi-user", L"wrong")),
                "slot 8 set_server");
    host::check(!HOST_CALL(p->connect()), "slot 11 connect fails with a wrong password");
    host::check(HOST_CALL(p->set_server(L"127.0.0.1", port, L"abi-user", L"abi pass 1")),
                "slot 8 set_server with the right password");
    host::check(HOST_CALL(p->connect()), "slot 11 connect logs in");
    HOST_CALL_VOID(p->disconnect());  // slot 10
    // The settings went with the mail manager: without one, connect fails.
    host::check(!HOST_CALL(p->connect()), "slot 11 connect fails after disconnect (slot 10)");

    host::check(HOST_CALL(p->set_server(L"127.0.0.1", port, L"abi-user", L"abi pass 1")),
                "slot 8 set_server again");
    host::check(HOST_CALL(p->new_message()), "slot 12 new_message");
    host::check(HOST_CALL(p->set_from(L"Host Sender <sender@example.com>")), "slot 14 set_from");
    host::check(HOST_CALL(p->add_to(L"to@example.com")), "slot 15 add_to answers true");
    // add_cc and add_bcc answer false even when the address was added.
    host::check(!HOST_CALL(p->add_cc(L"cc@example.com")), "slot 16 add_cc answers false");
    host::check(!HOST_CALL(p->add_bcc(L"bcc@example.com")), "slot 17 add_bcc answers false");
    expectCode(p, L"", "slots 16 and 17 set no code");
    host::check(!HOST_CALL(p->add_to(nullptr)), "slot 15 refuses a null pointer");
    expectCode(p, L"ERROR_NULL_POINTER", "slot 15 sets ERROR_NULL_POINTER");
    host::check(HOST_CALL(p->set_subject(L"ABI \u00fcber alles \u20ac")), "slot 18 set_subject");
    host::check(HOST_CALL(p->set_body(L"Sent by a Visual C++ ABI host.\r\n")), "slot 19 set_body");
    host::check(HOST_CALL(p->set_html_body(L"<p>Sent by a <b>Visual C++</b> ABI host.</p>")),
                "slot 20 set_html_body");
    host::check(!HOST_CALL(p->add_attachment(missing)), "slot 21 refuses a missing file");
    expectCode(p, L"ERROR_FILE_NOT_FOUND", "slot 21 sets ERROR_FILE_NOT_FOUND");
    host::check(HOST_CALL(p->add_attachment(attachment)), "slot 21 attaches a file");
    host::check(HOST_CALL(p->send()), "slot 13 send delivers the message");
    expectCode(p, L"", "slot 13 set no code");
    // The message went with the send.
    host::check(!HOST_CALL(p->send()), "slot 13 send without a message answers false");
    expectCode(p, L"ERROR_NULL_POINTER", "slot 13 sets ERROR_NULL_POINTER");

    host::check(!HOST_CALL(p->reserved_a(nullptr, nullptr, nullptr)), "slot 7 once more");
    HOST_CALL_VOID(p->close());  // slot 4
    expectCode(p, L"", "slot 4 close cleared the code");
    HOST_CALL_VOID(p->set_subject(L"composed after close"));
    HOST_CALL_VOID(p->shutdown());  // slot 3
    host::check(!HOST_CALL(p->send()), "slot 3 shutdown dropped the message");
    expectCode(p, L"ERROR_NULL_POINTER", "slot 13 after shutdown sets ERROR_NULL_POINTER");
}

}  // namespace

extern "C" int mainCRTStartup() {
    void* module = nullptr;
    const Createsmtp_plugin_fn create = host::loadFactory(module);
    email_interface* p = create();
    host::check(p != nullptr, "Createsmtp_plugin made an object");
    if (!p) ExitProcess(1);

    run(p);
    // slot 1 with its delete flag, as Visual C++ compiles delete.
    HOST_CALL_VOID(delete p);
    host::check(FreeLibrary(module) != 0, "FreeLibrary");
    host::write(host::failures == 0 ? "every slot: all checks passed\n" : "every slot: FAILED\n");
    ExitProcess(host::failures);
}
