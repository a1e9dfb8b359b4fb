// Opening a direction: the interface file, the control block address, the data buffer's window,
// the event registration; and the requests of a connected client.
#include "conduit/Client.h"

#include <algorithm>
#include <cstdint>

#include "../backend/Backend.h"
#include "BlockReader.h"
#include "Requests.h"
#include "TransportProtocol.h"

namespace conduit {

namespace {

#define FIELD(name) static_cast<std::uint32_t>(offsetof(transport::TransportControlBlock, name))

std::string Utf8(const std::u16string& text) {
    std::string result;
    for (char16_t c : text) {
        result.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return result;
}

Status Wrap(const Status& status, const std::string& step) {
    return Status(status.code(), step + ": " + status.message());
}

} // namespace

const char* DirectionName(Direction direction) {
    return direction == Direction::Render ? "Render" : "Capture";
}

Connection::Connection(Backend& backend, Direction direction)
    : backend_(backend), direction_(direction), file_(InvalidHandle), event_(InvalidHandle) {}

Connection::~Connection() {
    Close();
}

Status Connection::Open(Backend& backend, Direction direction,
                        std::unique_ptr<Connection>* connection,
                        const std::u16string& interfacePath) {
    connection->reset();
    std::u16string link = interfacePath;
    if (link.empty()) {
        std::vector<std::u16string> paths = backend.InterfacePaths();
        if (paths.empty()) {
            return Status(status::ObjectNameNotFound,
                          "no enabled interface of the driver's private interface class: is the "
                          "driver loaded and its device started?");
        }
        link = paths.front();
    }
    const std::string name = std::string(DirectionName(direction)) + " file of " + Utf8(link);
    std::unique_ptr<Connection> opened(new Connection(backend, direction));

    Status result = backend.OpenFile(link + requests::FileName(direction), &opened->file_);
    if (!result.ok()) {
        opened->file_ = InvalidHandle;
        if (result.code() == static_cast<std::int32_t>(0x80000011)) {
            return Status(result.code(), "opening the " + name + ": another client has it open");
        }
        return Wrap(result, "opening the " + name);
    }

    const bool is32Bit = backend.Is32Bit();
    const requests::Payload input = requests::GetControlBlock();
    std::uint8_t answer[8] = {};
    std::uint32_t returned = 0;
    result = backend.DeviceControl(opened->file_, transport::IoctlGetControlBlock, input.data(),
                                   input.size(), answer, is32Bit ? 4 : 8, &returned);
    if (!result.ok()) {
        return Wrap(result, "asking for the control block of the " + name);
    }
    std::uint64_t blockAddress = 0;
    if (!requests::ParseControlBlockAddress(answer, returned, is32Bit, &blockAddress)) {
        return Status(status::DeviceProtocolError, "the control block address of the " + name +
                                                       " came back as " + std::to_string(returned) +
                                                       " bytes or null");
    }
    opened->block_ = reinterpret_cast<void*>(static_cast<std::uintptr_t>(blockAddress));

    const std::uint64_t dataAddress = block::Load64(opened->block_, FIELD(ClientDataAddress));
    const std::uint32_t dataBytes = block::Load32(opened->block_, FIELD(DataBufferBytes));
    if (dataAddress == 0 || dataBytes == 0 || (is32Bit && dataAddress > 0xFFFFFFFFull) ||
        dataAddress > UINTPTR_MAX - transport::DataBufferSize) {
        return Status(status::DeviceProtocolError, "the control block of the " + name +
                                                       " names no usable data buffer (" +
                                                       std::to_string(dataBytes) + " bytes at " +
                                                       std::to_string(dataAddress) + ")");
    }
    opened->data_ = reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(dataAddress));
    // The driver maps at least the protocol's size; the client never goes past either bound.
    opened->dataBytes_ = std::min(dataBytes, transport::DataBufferSize);

    result = backend.CreateEvent(&opened->event_);
    if (!result.ok()) {
        opened->event_ = InvalidHandle;
        return Wrap(result, "creating the event for the " + name);
    }
    const requests::Payload setEvent = requests::SetEvent(opened->event_, is32Bit);
    result = backend.DeviceControl(opened->file_, transport::IoctlSetEvent, setEvent.data(),
                                   setEvent.size(), nullptr, 0, &returned);
    if (!result.ok()) {
        return Wrap(result, "registering the event with the " + name);
    }
    *connection = std::move(opened);
    return Status::Ok();
}

Status Connection::Close() {
    Status result;
    if (file_ != InvalidHandle) {
        // Closing the file unmaps both regions: forget them first.
        block_ = nullptr;
        data_ = nullptr;
        dataBytes_ = 0;
        Status closed = backend_.CloseFile(file_);
        if (!closed.ok()) {
            result =
                Wrap(closed, std::string("closing the ") + DirectionName(direction_) + " file");
        }
        file_ = InvalidHandle;
    }
    if (event_ != InvalidHandle) {
        Status closed = backend_.CloseEvent(event_);
        if (!closed.ok() && result.ok()) {
            result = Wrap(closed, "closing the event");
        }
        event_ = InvalidHandle;
    }
    return result;
}

Status Connection::Report(std::uint32_t code, const void* input, std::uint32_t bytes,
                          const char* what) {
    if (file_ == InvalidHandle) {
        return Status(status::DeviceNotReady, std::string(what) + ": the connection is closed");
    }
    std::uint32_t returned = 0;
    Status result = backend_.DeviceControl(file_, code, input, bytes, nullptr, 0, &returned);
    if (result.ok()) {
        return result;
    }
    return Wrap(result, what);
}

Status Connection::SetFormat(const DeviceFormat& format) {
    const requests::Payload input = requests::SetFormat(format);
    return Report(transport::IoctlSetFormat, input.data(), input.size(),
                  "setting the device format");
}

Status Connection::SetLatency(std::uint32_t frames) {
    const requests::Payload input = requests::SetLatency(frames);
    return Report(transport::IoctlSetLatency, input.data(), input.size(), "setting the latency");
}

Status Connection::Answer(std::int32_t clientStatus, std::uint32_t handshakeNumber) {
    const requests::Payload input = requests::ReportNumberedStatus(clientStatus, handshakeNumber);
    return Report(transport::IoctlReportStatus, input.data(), input.size(),
                  "answering a handshake");
}

Status Connection::RequestTick() {
    const requests::Payload input = requests::ReportStatus(transport::StatusTransportTick);
    return Report(transport::IoctlReportStatus, input.data(), input.size(), "asking for a tick");
}

StreamView Connection::Read() const {
    if (block_ == nullptr) {
        return StreamView();
    }
    return block::Read(block_, dataBytes_);
}

std::uint32_t Connection::HandshakeFlags() const {
    return block_ == nullptr ? 0 : block::Load32(block_, FIELD(HandshakeFlags));
}

std::uint32_t Connection::HandshakeNumber() const {
    return block_ == nullptr ? 0 : block::Load32(block_, FIELD(HandshakeNumber));
}

void Connection::WritePositions(std::uint32_t clientPosition, std::uint32_t positionRegister) {
    if (block_ == nullptr) {
        return;
    }
    block::Store32(block_, FIELD(ClientPosition), clientPosition);
    block::Store32(block_, FIELD(PositionRegister), positionRegister);
}

std::uint32_t Connection::ClientPosition() const {
    return block_ == nullptr ? 0 : block::Load32(block_, FIELD(ClientPosition));
}

} // namespace conduit
