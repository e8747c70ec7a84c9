/* zorvcore.dll: the close-request name, shared by everything that must agree on it. */
#define ZORV_SAMPLE_BUILDING_DLL
#include "zorvcore.h"

const char *zorv_close_request_name(void) { return "zorv CERRAR"; }
