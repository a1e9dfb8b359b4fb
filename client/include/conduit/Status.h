// The result of every client call: an NTSTATUS-shaped code (negative means failure, as the
// driver reports it) and a message that says which step failed and why.
#pragma once

#include <cstdint>
#include <string>

namespace conduit {

namespace status {
constexpr std::int32_t Success = 0;
constexpr std::int32_t Unsuccessful = static_cast<std::int32_t>(0xC0000001);
constexpr std::int32_t NotImplemented = static_cast<std::int32_t>(0xC0000002);
constexpr std::int32_t InvalidParameter = static_cast<std::int32_t>(0xC000000D);
constexpr std::int32_t ObjectNameNotFound = static_cast<std::int32_t>(0xC0000034);
constexpr std::int32_t DeviceNotReady = static_cast<std::int32_t>(0xC00000A3);
// The driver's shared memory or a reply holds values the protocol does not allow.
constexpr std::int32_t DeviceProtocolError = static_cast<std::int32_t>(0xC0000186);
} // namespace status

class Status {
public:
    Status() = default;
    Status(std::int32_t code, std::string message) : code_(code), message_(std::move(message)) {}

    static Status Ok() { return Status(); }

    bool ok() const { return code_ >= 0; }
    std::int32_t code() const { return code_; }
    const std::string& message() const { return message_; }
    // "0xC00000A3: opening the Render file: ..." for logs and test failures.
    std::string ToString() const;

private:
    std::int32_t code_ = status::Success;
    std::string message_;
};

// "0xC00000A3" for any status code.
std::string StatusCodeText(std::int32_t code);

} // namespace conduit
