// The image's one GUID-defining translation unit: every GUID the driver names is defined here,
// so the image needs no GUID library from the toolchain.
#include <initguid.h>
#include "platform/AudioHeaders.h"
