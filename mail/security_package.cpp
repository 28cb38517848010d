#include "mail/security_package.h"

bool securityPackageInstalled(const char*) {
    // The SSPI issue replaces this with the lookup among the installed packages.
    return false;
}
