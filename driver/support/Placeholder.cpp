#include "platform/KernelHeaders.h"
ULONG PlaceholderVersion() {
    return 1;
}
