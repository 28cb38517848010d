#pragma once
// The public contract between a host application and the smtp_plugin module.
//
// A host loads the module, calls Createsmtp_plugin() once per plug-in
// instance and drives the object only through the virtual operations below.
// Their declaration order is the slot order of the table and must never
// change. Text crosses the interface as null-terminated wide strings
// (UTF-16 on Windows, UTF-32 on Linux). Returned strings point into the
// object and stay valid until the next call of the same operation.
//
// The table is the one a Visual C++ class of this shape has, on every
// platform and for every compiler: exactly 23 entries, slot 0 the class-name
// query, slot 1 the destructor taking a delete flag (bit 0: free the memory)
// and returning the object, slots 2 to 22 the operations. On 32-bit Windows
// every slot is __thiscall (this in ECX, arguments on the stack, popped by
// the module), which is also what mingw-w64's GCC and Clang use for member
// functions, so neither side declares it.
//
// Destroying the object:
//  - Visual C++ (or clang-cl) hosts: delete p. Their virtual destructor is
//    one "scalar deleting destructor" entry, slot 1, called with flag 1.
//  - GCC and Clang hosts with the Itanium C++ ABI (mingw-w64, Linux): a
//    virtual destructor would take two entries there and move every
//    operation one slot on, so the base declares none. Slot 1 is the
//    explicit member destroy(flags), and p->release() (or destroy(1))
//    destroys the object; std::unique_ptr<email_interface, PDL::Releaser>
//    does it for you. delete p does not compile there (the destructor is
//    protected), rather than being undefined behaviour.
//  - release() is there for both kinds of host, so code shared between
//    them can use it alone.
//
// Threads and unloading: a host may make any number of objects and use them
// on any threads at once, each object from one thread at a time. Objects
// share only process-wide tables, which are given back when the last object
// goes (by its destructor, or by shutdown when it is the only one). Once no
// object is alive the module may be unloaded at once: a name lookup that a
// send gave up on keeps the module's code in place until it returns
// (Windows), or the module stays mapped after dlclose (Linux).

#if defined(_WIN32)
#define SMTP_PLUGIN_EXPORT __declspec(dllexport)
#else
#define SMTP_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

namespace PDL {

// Base class of the host's dynamic-class framework.
class DynamicClass {
  public:
    virtual const char* get_class_name() = 0;  // slot 0
#if defined(_MSC_VER)
    virtual ~DynamicClass() {}  // slot 1: the scalar deleting destructor
    // Destroys the object and frees its memory.
    void release() {
        delete this;
    }
#else
    // Slot 1, as a Visual C++ destructor is called: runs the destruction,
    // frees the memory when bit 0 of flags is set, returns the object.
    virtual DynamicClass* destroy(unsigned int flags) = 0;  // slot 1
    // Destroys the object and frees its memory.
    void release() {
        destroy(1);
    }

  protected:
    // Not virtual (see above) and protected, so that delete through a base
    // pointer cannot compile.
    ~DynamicClass() = default;
#endif
};

// Deleter for std::unique_ptr and similar owners.
struct Releaser {
    void operator()(DynamicClass* p) const {
        if (p) p->release();
    }
};

}  // namespace PDL

// Options (slot 6, set_option): kept until close, disconnect or shutdown and
// applied to the next new connection; a connection made under other options
// is not reused. Names and words in any case. They fail closed: an unknown
// name or an invalid value keeps the setting as it was and makes every later
// send or connect fail before anything is sent (send: ERROR_INVALID_ARG),
// until the name gets a valid value (an unknown name: until close).
// set_option answers what get_option then gives for the name.
//   tls          auto (default): STARTTLS when the server offers it, TLS from
//                the first byte on port 465; the certificate is checked and
//                the outcome logged, but a failed check does not stop the
//                send, and a failed STARTTLS handshake goes on in plain text
//                on a new connection.
//                starttls: STARTTLS required (RFC 3207), certificate checked.
//                implicit: TLS from the first byte on any port, certificate
//                checked. off: plain TCP only.
//                A required TLS session that fails ends the send, and the log
//                names the cause (STARTTLS not offered or refused, handshake,
//                certificate not trusted, name mismatch, expired) and the
//                option that relaxes it; it never falls back to plain text.
//   tls_verify   on (default) | off: whether starttls and implicit require a
//                certificate that passes the check.
//   tls_ca_file  a PEM file of roots trusted besides the system's; empty for
//                none.
//   auth         auto (default): the first of LOGIN, NTLM/MSN, CRAM-MD5,
//                PLAIN the server offers ("default"/"default" as login and
//                password means NTLM with the current logon). login, plain,
//                cram-md5, ntlm or xoauth2: that mechanism only, when the
//                server offers it, else the send fails saying so; it wins
//                over the "default"/"default" rule. xoauth2 is the OAuth 2.0
//                bearer login: the password given to set_server is the
//                access token; a refusal's JSON error is logged.
//   helo_name    the name EHLO and HELO announce (printable ASCII, no
//                blanks, at most 255); default the machine's name.
//   connect_timeout, read_timeout   whole seconds, 1 to 600 (defaults 30);
//                for send and connect alike.
//   error_file   where a failed send writes its activity log (default
//                "smtp_errors.xml" in the current directory); empty: none.
//   verify_login normal (default) | strict: with strict, connect fails when
//                login and password were given but the server listed no
//                AUTH mechanism, so no login was made.
//   html_alternative  off (default): the body set last (set_body or
//                set_html_body) goes alone. on: a plain and an HTML body
//                both go, as multipart/alternative, plain first.
//   chunking     on (default): when the server offers CHUNKING (RFC 3030)
//                the message goes in BDAT chunks, as it is. off: always DATA.
//
// get_option (slot 5) answers a setting's current value by its name, and
// these read-only names (any other name: the empty string):
//   version             the plug-in's version
//   last_error          the first error of the last send or connect, with
//                       its hint ("... Hint: the cause and the fix")
//   last_reply          the server's last reply line
//   refused_recipients  the last send's recipients that did not go,
//                       comma-separated (a send that some recipients
//                       refused still answers true)
//   tls_session         TLS version and cipher of the last connection used
//   auth_used           the AUTH mechanism that logged in, or "none"
//   log                 the last send's or connect's activity log as XML
// Error codes (get_last_error): ERROR_NULL_POINTER, ERROR_INVALID_ARG,
// ERROR_FILE_NOT_FOUND, ERROR_SEND_FAILED, ERROR_NOT_IMPLEMENTED.
// A server that declares SIZE (RFC 1870) gets the message's size with MAIL
// FROM; a message over its limit fails before MAIL FROM.
// TLS is version 1.2 or later; the server's name is checked against its
// certificate (DNS names and IP addresses), and sent as SNI for DNS names.
// On Linux TLS is OpenSSL's, on Windows the system's Schannel, with the
// certificate checked against the system's roots plus tls_ca_file.
class email_interface : public PDL::DynamicClass {
  public:
    virtual void open() = 0;                                                           // slot 2
    virtual void shutdown() = 0;                                                       // slot 3
    virtual void close() = 0;                                                          // slot 4
    virtual const wchar_t* get_option(const wchar_t* name) = 0;                        // slot 5
    virtual const wchar_t* set_option(const wchar_t* name, const wchar_t* value) = 0;  // slot 6
    virtual bool reserved_a(void* a, void* b, void* c) = 0;                            // slot 7
    virtual bool set_server(const wchar_t* host, const wchar_t* port, const wchar_t* login,
                            const wchar_t* password) = 0;             // slot 8
    virtual bool reserved_b(void* a, void* b, void* c, void* d) = 0;  // slot 9
    virtual void disconnect() = 0;                                    // slot 10
    virtual bool connect() = 0;                                       // slot 11
    virtual bool new_message() = 0;                                   // slot 12
    virtual bool send() = 0;                                          // slot 13
    // Addresses (slots 14 to 17) take one mailbox: "Display Name <addr>"
    // (the name plain, non-ASCII, or quoted with \" and \\ escapes) or
    // "addr (Name)". The name goes into the header, the bare address into the
    // SMTP envelope. Any other non-empty text is used as the address as it
    // is. add_cc and add_bcc answer false even when the address was added.
    // A non-ASCII address goes in the envelope in UTF-8 to a server that
    // offers SMTPUTF8, else with its domain as IDNA A-labels; a non-ASCII
    // local part then refuses that recipient (or, for the sender, the send).
    // Subject and bodies (slots 18 to 20) are sent as UTF-8 and read back
    // exactly by standard readers; line breaks never reach a header. An
    // attachment (slot 21) is read whole; its file name is sent as it is.
    virtual bool set_from(const wchar_t* address) = 0;     // slot 14
    virtual bool add_to(const wchar_t* address) = 0;       // slot 15
    virtual bool add_cc(const wchar_t* address) = 0;       // slot 16
    virtual bool add_bcc(const wchar_t* address) = 0;      // slot 17
    virtual bool set_subject(const wchar_t* text) = 0;     // slot 18
    virtual bool set_body(const wchar_t* text) = 0;        // slot 19
    virtual bool set_html_body(const wchar_t* html) = 0;   // slot 20
    virtual bool add_attachment(const wchar_t* path) = 0;  // slot 21
    virtual const wchar_t* get_last_error() = 0;           // slot 22

#if !defined(_MSC_VER)
  protected:
    ~email_interface() = default;
#endif
};

extern "C" SMTP_PLUGIN_EXPORT email_interface* Createsmtp_plugin();

// The factory's type, for hosts that look it up with dlsym / GetProcAddress.
typedef email_interface* (*Createsmtp_plugin_fn)();
