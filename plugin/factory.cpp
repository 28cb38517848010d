// The module's only export.
#include "plugin/boundary.h"
#include "plugin/smtp_plugin.h"

// No object, no log: a host learns of the failure by the null pointer.
extern "C" SMTP_PLUGIN_EXPORT email_interface* Createsmtp_plugin() {
    return plugin::guarded<email_interface*>(
        nullptr, [] { return new smtp_plugin; }, [](const char*) noexcept {});
}
