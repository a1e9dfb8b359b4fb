// Status texts.
#include "conduit/Status.h"

#include <cstdio>

namespace conduit {

std::string StatusCodeText(std::int32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

std::string Status::ToString() const {
    if (message_.empty()) {
        return StatusCodeText(code_);
    }
    return StatusCodeText(code_) + ": " + message_;
}

} // namespace conduit
