// Endpoint keys as the system's endpoint builder lays them out, and the decoding of the device
// format that the driver stores in them.
#include "AudioEndpoints.h"

#include <cstdio>
#include <cstring>

#include "Machine.h"
#include "Registry.h"

namespace host {

namespace {

constexpr uint16_t VtBlob = 65;
constexpr size_t SerialisedFormatBytes = 48;
constexpr size_t RecordBytes = 40;
constexpr uint16_t ExtensibleTag = 0xFFFE;
constexpr uint16_t PcmTag = 1;
constexpr uint16_t FloatTag = 3;
constexpr uint32_t DeviceStateActive = 1;
// KSDATAFORMAT_SUBTYPE_PCM and _IEEE_FLOAT as they lie in memory: the tag, then the fixed tail.
constexpr uint8_t SubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                       0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// Endpoint names: distinct GUIDs that do not sort in the order they were made, so enumeration
// order and creation order differ as they do on a real system.
class EndpointNames : public Subsystem {
public:
    std::u16string Next() {
        unsigned long long word = ++counter * 0x9E3779B97F4A7C15ull;
        word = (word ^ (word >> 31)) * 0xBF58476D1CE4E5B9ull;
        word ^= word >> 29;
        char text[40];
        std::snprintf(text, sizeof(text), "{%08llx-%04llx-4%03llx-8%03llx-%012llx}", word >> 32,
                      (word >> 16) & 0xFFFF, (word >> 4) & 0xFFF, counter & 0xFFF,
                      (word * 31 + counter) & 0xFFFFFFFFFFFFull);
        return std::u16string(text, text + std::strlen(text));
    }

private:
    unsigned long long counter = 0;
};

uint16_t Read16(const std::vector<uint8_t>& bytes, size_t offset) {
    return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

uint32_t Read32(const std::vector<uint8_t>& bytes, size_t offset) {
    return static_cast<uint32_t>(Read16(bytes, offset)) |
           (static_cast<uint32_t>(Read16(bytes, offset + 2)) << 16);
}

AudioEndpoint MakeEndpointKeys(EndpointFlow flow) {
    AudioEndpoint endpoint;
    endpoint.flow = flow;
    endpoint.name = Machine::Current().Get<EndpointNames>().Next();
    endpoint.keyPath = AudioEndpointsPath(flow) + u"\\" + endpoint.name;
    endpoint.propertiesPath = endpoint.keyPath + u"\\Properties";
    CreateRegistryKey(endpoint.propertiesPath);
    return endpoint;
}

} // namespace

std::u16string AudioEndpointsPath(EndpointFlow flow) {
    return std::u16string(AudioEndpointsRootPath) +
           (flow == EndpointFlow::Render ? u"\\Render" : u"\\Capture");
}

std::u16string AudioFilterInterfacePath(const std::u16string& deviceInstanceId,
                                        const std::u16string& subdeviceName) {
    std::u16string path = u"\\\\?\\";
    for (char16_t unit : deviceInstanceId) {
        path += unit == u'\\' ? u'#' : unit;
    }
    return path + u"#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\" + subdeviceName;
}

AudioEndpoint AddAudioEndpoint(EndpointFlow flow, const std::u16string& deviceInstanceId,
                               const std::u16string& subdeviceName) {
    AudioEndpoint endpoint = MakeEndpointKeys(flow);
    const uint8_t* state = reinterpret_cast<const uint8_t*>(&DeviceStateActive);
    WriteRegistryValue(endpoint.keyPath, u"DeviceState", REG_DWORD,
                       std::vector<uint8_t>(state, state + sizeof(DeviceStateActive)));
    WriteRegistryString(endpoint.propertiesPath, EndpointDescriptionProperty,
                        flow == EndpointFlow::Render ? u"Speakers" : u"Microphone");
    WriteRegistryString(endpoint.propertiesPath, EndpointFilterProperty,
                        u"{2}." + AudioFilterInterfacePath(deviceInstanceId, subdeviceName));
    return endpoint;
}

AudioEndpoint AddBareAudioEndpoint(EndpointFlow flow) {
    return MakeEndpointKeys(flow);
}

std::vector<AudioEndpoint> ListAudioEndpoints() {
    std::vector<AudioEndpoint> endpoints;
    for (EndpointFlow flow : {EndpointFlow::Render, EndpointFlow::Capture}) {
        for (const std::u16string& name : RegistrySubkeyNames(AudioEndpointsPath(flow))) {
            AudioEndpoint endpoint;
            endpoint.flow = flow;
            endpoint.name = name;
            endpoint.keyPath = AudioEndpointsPath(flow) + u"\\" + name;
            endpoint.propertiesPath = endpoint.keyPath + u"\\Properties";
            endpoints.push_back(endpoint);
        }
    }
    return endpoints;
}

EndpointDeviceFormat DecodeEndpointDeviceFormat(unsigned long registryType,
                                                const std::vector<uint8_t>& bytes) {
    EndpointDeviceFormat format;
    format.registryType = registryType;
    format.bytes = bytes;
    if (registryType != REG_BINARY) {
        format.problem = "value of type " + std::to_string(registryType) + ", not REG_BINARY";
        return format;
    }
    if (bytes.size() != SerialisedFormatBytes) {
        format.problem = std::to_string(bytes.size()) + " bytes, not 48";
        return format;
    }
    if (Read16(bytes, 0) != VtBlob || Read16(bytes, 2) != 0 || Read32(bytes, 4) != RecordBytes) {
        format.problem = "not a VT_BLOB of 40 bytes";
        return format;
    }
    format.formatTag = Read16(bytes, 8);
    format.channels = Read16(bytes, 10);
    format.samplesPerSecond = Read32(bytes, 12);
    format.averageBytesPerSecond = Read32(bytes, 16);
    format.blockAlign = Read16(bytes, 20);
    format.bitsPerSample = Read16(bytes, 22);
    format.extensionSize = Read16(bytes, 24);
    format.validBitsPerSample = Read16(bytes, 26);
    format.channelMask = Read32(bytes, 28);
    std::memcpy(format.subFormat, bytes.data() + 32, sizeof(format.subFormat));
    if (format.formatTag != ExtensibleTag || format.extensionSize < 22) {
        format.problem = "record is not in the extensible layout";
        return format;
    }
    format.wellFormed = true;
    return format;
}

std::optional<EndpointDeviceFormat> ReadEndpointDeviceFormat(const AudioEndpoint& endpoint) {
    std::optional<RegistryValue> value =
        ReadRegistryValue(endpoint.propertiesPath, EndpointDeviceFormatProperty);
    if (!value) {
        return std::nullopt;
    }
    return DecodeEndpointDeviceFormat(value->type, value->data);
}

std::string DescribeEndpointDeviceFormat(const EndpointDeviceFormat& format) {
    if (!format.wellFormed) {
        return "unreadable: " + format.problem;
    }
    const bool knownTail = std::memcmp(format.subFormat + 2, SubFormatTail, 14) == 0;
    const uint16_t subTag = static_cast<uint16_t>(format.subFormat[0] | format.subFormat[1] << 8);
    const char* kind = !knownTail           ? "other sub-format"
                       : subTag == PcmTag   ? "PCM"
                       : subTag == FloatTag ? "float"
                                            : "other sub-format";
    char text[160];
    std::snprintf(text, sizeof(text), "%u Hz, %u bits in %u, %u channels (mask 0x%x), %s",
                  format.samplesPerSecond, format.validBitsPerSample, format.bitsPerSample,
                  format.channels, format.channelMask, kind);
    return text;
}

} // namespace host
