// Composition of check diagnostics through the string formatter, and the debugger test that
// the format builders use before breaking in.
#include "support/Diagnostics.h"

#include <stdarg.h>

#include "support/StringFormatter.h"

void ReportMessage(PWCHAR messageBuffer, PCWSTR format, ...) {
    if (messageBuffer == nullptr) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    FormatString(messageBuffer, MessageCapacity, format, arguments);
    va_end(arguments);
}

BOOLEAN IsDebuggerEnabled() {
    return KD_DEBUGGER_ENABLED ? TRUE : FALSE;
}
