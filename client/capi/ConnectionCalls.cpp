// Opening and closing a direction, and the calls on an open one.
#include "Handles.h"
#include "PlatformBackend.h"

namespace conduit::capi {

namespace {

// The C codes name the same NTSTATUS values the C++ library reports.
static_assert(CONDUIT_ERROR_UNSUCCESSFUL == status::Unsuccessful &&
                  CONDUIT_ERROR_INVALID_PARAMETER == status::InvalidParameter &&
                  CONDUIT_ERROR_NO_DEVICE == status::ObjectNameNotFound &&
                  CONDUIT_ERROR_NOT_READY == status::DeviceNotReady &&
                  CONDUIT_ERROR_PROTOCOL == status::DeviceProtocolError,
              "status codes");

// Windows allows printable ASCII only in device instance ids, and so in interface paths; the
// longest path a Windows call takes is 32,767 UTF-16 units.
constexpr std::size_t LongestPath = 32767;

bool ToInterfacePath(const char* text, std::u16string* path) {
    for (const char* c = text; *c != '\0'; ++c) {
        const unsigned char unit = static_cast<unsigned char>(*c);
        if (unit < 0x20 || unit > 0x7E || path->size() == LongestPath) {
            return false;
        }
        path->push_back(static_cast<char16_t>(unit));
    }
    return !path->empty();
}

} // namespace

} // namespace conduit::capi

using namespace conduit::capi;

extern "C" CONDUIT_API conduit_status conduit_open(conduit_direction direction,
                                                   const char* interface_path,
                                                   conduit_connection** connection) {
    return Guarded([&] {
        if (connection == nullptr) {
            return Record(CONDUIT_ERROR_INVALID_PARAMETER, "no place for the connection handle");
        }
        *connection = nullptr;
        if (direction != CONDUIT_DIRECTION_RENDER && direction != CONDUIT_DIRECTION_CAPTURE) {
            return Record(CONDUIT_ERROR_INVALID_PARAMETER, "direction " +
                                                               std::to_string(direction) +
                                                               " is neither Render nor "
                                                               "Capture");
        }
        std::u16string path;
        if (interface_path != nullptr && !ToInterfacePath(interface_path, &path)) {
            return Record(CONDUIT_ERROR_INVALID_PARAMETER,
                          "the interface path is empty, too long or not printable ASCII");
        }
        auto opened = std::make_shared<conduit_connection>();
        conduit::Status status = CreatePlatformBackend(&opened->backend);
        if (status.ok()) {
            status = conduit::Connection::Open(*opened->backend,
                                               direction == CONDUIT_DIRECTION_RENDER
                                                   ? conduit::Direction::Render
                                                   : conduit::Direction::Capture,
                                               &opened->connection, path);
        }
        if (!status.ok()) {
            return Record(status);
        }
        *connection = Connections().Add(std::move(opened));
        return Record(CONDUIT_OK, std::string());
    });
}

extern "C" CONDUIT_API conduit_status conduit_close(conduit_connection* connection) {
    return WithConnection(connection, [&](const std::shared_ptr<conduit_connection>& open) {
        if (open->sessions != 0) {
            return Record(CONDUIT_ERROR_WRONG_STATE, "the connection still has " +
                                                         std::to_string(open->sessions) +
                                                         " session(s): destroy them first");
        }
        open->closed = true;
        Connections().Remove(connection);
        return Record(open->connection->Close());
    });
}

extern "C" CONDUIT_API conduit_status conduit_set_format(conduit_connection* connection,
                                                         const conduit_device_format* format) {
    return WithConnection(connection, [&](const std::shared_ptr<conduit_connection>& open) {
        if (format == nullptr) {
            return Record(CONDUIT_ERROR_INVALID_PARAMETER, "no format");
        }
        conduit::DeviceFormat request;
        request.sampleRate = format->sample_rate;
        request.bitsPerSample = format->bits_per_sample;
        request.channels = format->channels;
        request.containerBytes = format->container_bytes;
        request.channelMask = format->channel_mask;
        return Record(open->connection->SetFormat(request));
    });
}

extern "C" CONDUIT_API conduit_status conduit_set_latency(conduit_connection* connection,
                                                          uint32_t frames) {
    return WithConnection(connection, [&](const std::shared_ptr<conduit_connection>& open) {
        return Record(open->connection->SetLatency(frames));
    });
}

extern "C" CONDUIT_API conduit_status conduit_read_view(conduit_connection* connection,
                                                        conduit_stream_view* view,
                                                        uint32_t view_bytes) {
    return WithConnection(connection, [&](const std::shared_ptr<conduit_connection>& open) {
        if (view == nullptr || view_bytes != sizeof(conduit_stream_view)) {
            return Record(CONDUIT_ERROR_INVALID_PARAMETER,
                          "the view must be a conduit_stream_view of " +
                              std::to_string(sizeof(conduit_stream_view)) + " bytes");
        }
        ToC(open->connection->Read(), view);
        return Record(CONDUIT_OK, std::string());
    });
}
