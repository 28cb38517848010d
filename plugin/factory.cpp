// The module's only export.
#include "plugin/smtp_plugin.h"

extern "C" SMTP_PLUGIN_EXPORT email_interface* Createsmtp_plugin() {
    try {
        return new smtp_plugin;
    } catch (...) {
        return nullptr;
    }
}
