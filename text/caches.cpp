#include "text/caches.h"

#include "text/code_page_tables.h"

void releaseCaches() {
    // The code-page reverse maps; the case-mapping tables join here once
    // they are added.
    cptables::releaseCaches();
}
