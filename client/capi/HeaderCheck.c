/* The C interface's header compiles on its own as strict C99. */
#include "conduit/conduit.h"

uint32_t conduit_header_check_version(void) {
    return CONDUIT_ABI_VERSION;
}
