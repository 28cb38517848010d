// One function per slot, each making exactly one call through the table.
// check_layout.sh compiles this for the Visual C++ ABI and for the Itanium
// ABI (mingw-w64 GCC and Clang, Linux GCC) and reads the table offset each
// call site uses.
#include "plugin/email_interface.h"

#define PROBE(slot, call)                                   \
    extern "C" void probe_slot_##slot(email_interface* p) { \
        call;                                               \
    }

PROBE(0, p->get_class_name())
PROBE(1, p->release())
PROBE(2, p->open())
PROBE(3, p->shutdown())
PROBE(4, p->close())
PROBE(5, p->get_option(L"n"))
PROBE(6, p->set_option(L"n", L"v"))
PROBE(7, p->reserved_a(nullptr, nullptr, nullptr))
PROBE(8, p->set_server(L"h", L"25", L"l", L"p"))
PROBE(9, p->reserved_b(nullptr, nullptr, nullptr, nullptr))
PROBE(10, p->disconnect())
PROBE(11, p->connect())
PROBE(12, p->new_message())
PROBE(13, p->send())
PROBE(14, p->set_from(L"a"))
PROBE(15, p->add_to(L"a"))
PROBE(16, p->add_cc(L"a"))
PROBE(17, p->add_bcc(L"a"))
PROBE(18, p->set_subject(L"s"))
PROBE(19, p->set_body(L"b"))
PROBE(20, p->set_html_body(L"h"))
PROBE(21, p->add_attachment(L"f"))
PROBE(22, p->get_last_error())
