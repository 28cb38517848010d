// A host built for the Visual C++ ABI that destroys the object right after
// making it (delete: slot 1 with the delete flag), then makes a second one,
// uses it once and destroys it through release(), and unloads the module.
// ABI_HOST_DLL names smtp_plugin.dll.
#include "host_runtime.h"

extern "C" int mainCRTStartup() {
    void* module = nullptr;
    const Createsmtp_plugin_fn create = host::loadFactory(module);

    email_interface* p = create();
    host::check(p != nullptr, "Createsmtp_plugin made an object");
    if (p) HOST_CALL_VOID(delete p);

    email_interface* q = create();
    host::check(q != nullptr, "Createsmtp_plugin made a second object");
    if (q) {
        host::check(HOST_CALL(q->set_subject(L"kept until the end")), "set_subject on the second");
        HOST_CALL_VOID(q->release());
    }
    host::check(FreeLibrary(module) != 0, "FreeLibrary");
    host::write(host::failures == 0 ? "delete at once: all checks passed\n"
                                    : "delete at once: FAILED\n");
    ExitProcess(host::failures);
}
