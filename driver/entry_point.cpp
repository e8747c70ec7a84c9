// The Windows installer image's entry point: library loading restricted before anything else runs.
//
// The link names zorv_entry as the entry point (-e). The runtime library's start-up, and the
// user interface calls later on, load system libraries on demand; the restriction must be in
// place before the first of them, so it comes before the runtime start-up, which then calls main.
#include "platform.h"

extern "C" int zorv_entry(void) {
    os_restrict_library_search();
    return os_runtime_startup();
}
