// The wire protocol between the driver and its user-mode client: the private interface, the
// file names, the control codes with their payloads, and the layout of the shared control
// block. The client includes this header as it is, so it depends on nothing but the compiler.
#pragma once

namespace transport {

typedef unsigned char u8;
typedef unsigned short u16;
typedef unsigned int u32;
typedef int i32;
typedef unsigned long long u64;
static_assert(sizeof(u32) == 4 && sizeof(u64) == 8, "fixed-width protocol fields");

// The private device interface class {ACC2F77F-7E94-4CFD-A594-CFB76B622885}, field by field.
struct InterfaceClassValue {
    u32 data1;
    u16 data2;
    u16 data3;
    u8 data4[8];
};
constexpr InterfaceClassValue InterfaceClass = {
    0xACC2F77F, 0x7E94, 0x4CFD, {0xA5, 0x94, 0xCF, 0xB7, 0x6B, 0x62, 0x28, 0x85}};

// The interface class as the caller's GUID type (whichever header declared it), so that every
// user of the class converts it the same way.
template <typename Guid>
constexpr Guid InterfaceClassAs() {
    Guid guid{};
    guid.Data1 = InterfaceClass.data1;
    guid.Data2 = InterfaceClass.data2;
    guid.Data3 = InterfaceClass.data3;
    for (unsigned index = 0; index < sizeof(InterfaceClass.data4); ++index) {
        guid.Data4[index] = InterfaceClass.data4[index];
    }
    return guid;
}

// Appended to the interface's symbolic link to open one direction. The client writes into its
// Render file what applications record; it reads from its Capture file what applications play.
#define TRANSPORT_RENDER_FILE_NAME L"\\acc2f77f-7e94-4cfd-a594-cfb76b622885\\Render"
#define TRANSPORT_CAPTURE_FILE_NAME L"\\acc2f77f-7e94-4cfd-a594-cfb76b622885\\Capture"

// Control requests: device type FILE_DEVICE_UNKNOWN, METHOD_BUFFERED.
constexpr u32 IoctlGetControlBlock = 0x226404; // function 0x901, read access
constexpr u32 IoctlSetFormat = 0x22A408;       // function 0x902, write access
constexpr u32 IoctlSetLatency = 0x22A40C;      // function 0x903, write access
constexpr u32 IoctlSetEvent = 0x22A410;        // function 0x904, write access
constexpr u32 IoctlReportStatus = 0x22A414;    // function 0x905, write access

constexpr u32 ProtocolVersion = 1;

// Sent with IoctlReportStatus instead of an answer: asks the driver for one position tick. A
// tick never answers a handshake, and never changes the answer a handshake takes.
constexpr i32 StatusTransportTick = 0x20000001;

// Request payloads (every input starts with Version = 1).
struct GetControlBlockInput {
    u32 Version;
};
struct SetFormatInput {
    u32 Version;
    u32 SampleRate;
    u32 BitsPerSample;
    u32 Channels;
    u32 ContainerBytes;
    u32 ChannelMask;
};
struct SetLatencyInput {
    u32 Version;
    u32 LatencyFrames;
};
// The event handle follows Version: 4 bytes from a 32-bit client, 8 bytes (unaligned) from a
// 64-bit one, so the payload is described by offsets rather than a structure.
constexpr u32 SetEventHandleOffset = 4;
constexpr u32 SetEventInputBytes32 = 8;
constexpr u32 SetEventInputBytes64 = 12;
// The plain answer: taken by whatever handshake waits when it arrives.
struct ReportStatusInput {
    u32 Version;
    i32 ClientStatus;
};
// The numbered answer: taken only by the handshake whose HandshakeNumber it carries, so an
// answer that comes late or twice can never answer a later handshake.
struct ReportNumberedStatusInput {
    u32 Version;
    i32 ClientStatus;
    u32 HandshakeNumber;
};
static_assert(sizeof(SetFormatInput) == 24 && sizeof(SetLatencyInput) == 8, "request sizes");
static_assert(sizeof(ReportStatusInput) == 8 && sizeof(GetControlBlockInput) == 4, "request sizes");
static_assert(sizeof(ReportNumberedStatusInput) == 12, "request sizes");

// HandshakeFlags bits.
constexpr u32 AwaitingClient = 0x1;  // set at each handshake; cleared when the client answers
constexpr u32 HandshakeActive = 0x2; // set at each handshake; cleared when it ends

// HandshakeOutcome: how the handshake HandshakeNumber ended.
constexpr u32 HandshakeWaiting = 0;    // it has not ended yet (or no handshake ran so far)
constexpr u32 HandshakeAnswered = 1;   // the client answered with a success status
constexpr u32 HandshakeRefused = 2;    // the client answered with a failure status
constexpr u32 HandshakeTimedOut = 3;   // no answer within a second
constexpr u32 HandshakeClientGone = 4; // the client's file was cleaned up while it waited
constexpr u32 HandshakeNoClient = 5;   // no client event to signal

// StreamModeFlags bits (set once per stream).
constexpr u32 NotificationBuffer = 0x1;
constexpr u32 PacketMode = 0x2;
constexpr u32 PositionRegisterUsed = 0x4;

constexpr u32 DataBufferSize = 524288;
constexpr u32 ControlBlockSize = 196;

#pragma pack(push, 4) // ClientDataAddress is 4-aligned on the wire
// The 196-byte control block shared by the driver and the client, little-endian. The driver
// writes every field except ClientPosition and PositionRegister; the client treats all of them
// as untrusted input.
struct TransportControlBlock {
    u8 Reserved0[52];
    u32 HandshakeFlags; // changed only by atomic OR / AND
    u32 SampleRate;
    u32 BitsPerSample;
    u32 Channels;
    u32 ContainerBytes;
    u32 ChannelMask;
    u32 DataBufferBytes;
    u32 LatencyFrames;
    u8 StreamOpen;
    u8 Reserved1[7];
    u32 ChannelPacketErrors;
    u32 HandshakeNumber;  // the latest handshake's number: 1, 2, ..., never 0 once one ran
    u32 HandshakeOutcome; // how that handshake ended; HandshakeWaiting while it waits
    u32 StreamModeFlags;
    u8 StreamFormat[40]; // WAVEFORMATEXTENSIBLE; wFormatTag 0 while the stream has no format
    u32 StreamState;
    u32 BufferFrames;
    u32 AheadFrames;
    u32 DriverPosition;
    u32 SpareCounter;
    u32 StreamPacketErrors;
    u64 ClientDataAddress; // at offset 172: 4-aligned only
    u32 ClientPosition;
    u32 PositionRegister;
    i32 ClientStatus; // the answer the latest handshake took; STATUS_UNSUCCESSFUL until then
    u8 ClientConnected;
    u8 Reserved3[3];
};
#pragma pack(pop)

#define TRANSPORT_ASSERT_OFFSET(field, offset)                                                     \
    static_assert(__builtin_offsetof(TransportControlBlock, field) == (offset),                    \
                  "TransportControlBlock." #field " is at offset " #offset)
TRANSPORT_ASSERT_OFFSET(HandshakeFlags, 52);
TRANSPORT_ASSERT_OFFSET(SampleRate, 56);
TRANSPORT_ASSERT_OFFSET(BitsPerSample, 60);
TRANSPORT_ASSERT_OFFSET(Channels, 64);
TRANSPORT_ASSERT_OFFSET(ContainerBytes, 68);
TRANSPORT_ASSERT_OFFSET(ChannelMask, 72);
TRANSPORT_ASSERT_OFFSET(DataBufferBytes, 76);
TRANSPORT_ASSERT_OFFSET(LatencyFrames, 80);
TRANSPORT_ASSERT_OFFSET(StreamOpen, 84);
TRANSPORT_ASSERT_OFFSET(ChannelPacketErrors, 92);
TRANSPORT_ASSERT_OFFSET(HandshakeNumber, 96);
TRANSPORT_ASSERT_OFFSET(HandshakeOutcome, 100);
TRANSPORT_ASSERT_OFFSET(StreamModeFlags, 104);
TRANSPORT_ASSERT_OFFSET(StreamFormat, 108);
TRANSPORT_ASSERT_OFFSET(StreamState, 148);
TRANSPORT_ASSERT_OFFSET(BufferFrames, 152);
TRANSPORT_ASSERT_OFFSET(AheadFrames, 156);
TRANSPORT_ASSERT_OFFSET(DriverPosition, 160);
TRANSPORT_ASSERT_OFFSET(SpareCounter, 164);
TRANSPORT_ASSERT_OFFSET(StreamPacketErrors, 168);
TRANSPORT_ASSERT_OFFSET(ClientDataAddress, 172);
TRANSPORT_ASSERT_OFFSET(ClientPosition, 180);
TRANSPORT_ASSERT_OFFSET(PositionRegister, 184);
TRANSPORT_ASSERT_OFFSET(ClientStatus, 188);
TRANSPORT_ASSERT_OFFSET(ClientConnected, 192);
#undef TRANSPORT_ASSERT_OFFSET
static_assert(sizeof(TransportControlBlock) == ControlBlockSize, "the control block is 196 bytes");

} // namespace transport
