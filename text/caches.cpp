#include "text/caches.h"

#include "text/case_mapping.h"
#include "text/code_page_tables.h"

void releaseCaches() {
    // The expanded code-page tables and their reverse maps, and the two
    // case-mapping hash tables.
    cptables::releaseCaches();
    casemap::releaseCaches();
}
