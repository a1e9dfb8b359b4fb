// The audio endpoint stores that the system's endpoint builder keeps in the registry: one key per
// endpoint under the Render or Capture root, each with a property store naming the filter that
// serves it. The port-class library adds endpoints when WaveRT filters are registered; tests add
// others; tests and `conduit status` read back the device format the driver writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host {

constexpr const char16_t* AudioEndpointsRootPath =
    u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio";
// The property naming the serving filter: REG_SZ "{2}." followed by its interface path.
constexpr const char16_t* EndpointFilterProperty = u"{233164c8-1b2c-4c7d-bc68-b671687a2567},1";
// The endpoint's device format: REG_BINARY, a serialised VT_BLOB holding a WAVEFORMATEXTENSIBLE.
constexpr const char16_t* EndpointDeviceFormatProperty =
    u"{f19f064d-082c-4e27-bc73-6882a1bb8e4c},0";
constexpr const char16_t* EndpointDescriptionProperty = u"{a45c254e-df1c-4efd-8020-67d146a850e0},2";

// Render endpoints play (their filters take audio in), capture endpoints record.
enum class EndpointFlow { Render, Capture };

struct AudioEndpoint {
    EndpointFlow flow = EndpointFlow::Render;
    std::u16string name;           // "{guid}"
    std::u16string keyPath;        // the endpoint's key
    std::u16string propertiesPath; // its "Properties" sub-key
};

// "...\MMDevices\Audio\Render" or "...\Capture".
std::u16string AudioEndpointsPath(EndpointFlow flow);

// The interface path of a kernel-streaming audio filter as the endpoint builder records it:
// "\\?\" + the instance id with '#' for '\' + "#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\" + the
// reference string (the subdevice name).
std::u16string AudioFilterInterfacePath(const std::u16string& deviceInstanceId,
                                        const std::u16string& subdeviceName);

// Adds an endpoint served by the filter subdeviceName of device deviceInstanceId
// ("ROOT\MEDIA\0000"), with the values the endpoint builder writes.
AudioEndpoint AddAudioEndpoint(EndpointFlow flow, const std::u16string& deviceInstanceId,
                               const std::u16string& subdeviceName);
// Adds an endpoint key with an empty "Properties" sub-key, for stores of unusual content.
AudioEndpoint AddBareAudioEndpoint(EndpointFlow flow);
// Every endpoint under both roots, render first, each in enumeration order.
std::vector<AudioEndpoint> ListAudioEndpoints();

// The device-format value decoded. wellFormed is false, with problem saying why, when the value
// is not a 48-byte REG_BINARY VT_BLOB of a 40-byte record.
struct EndpointDeviceFormat {
    unsigned long registryType = 0;
    std::vector<uint8_t> bytes;
    bool wellFormed = false;
    std::string problem;
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint32_t samplesPerSecond = 0;
    uint32_t averageBytesPerSecond = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
    uint16_t extensionSize = 0;
    uint16_t validBitsPerSample = 0;
    uint32_t channelMask = 0;
    uint8_t subFormat[16] = {};
};

EndpointDeviceFormat DecodeEndpointDeviceFormat(unsigned long registryType,
                                                const std::vector<uint8_t>& bytes);
// Nothing when the endpoint has no device-format value.
std::optional<EndpointDeviceFormat> ReadEndpointDeviceFormat(const AudioEndpoint& endpoint);
// "48000 Hz, 16 bits in 16, 2 channels (mask 0x3), PCM", or "unreadable: <problem>".
std::string DescribeEndpointDeviceFormat(const EndpointDeviceFormat& format);

} // namespace host
