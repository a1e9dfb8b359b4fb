// mingw-w64 only: measures the vtable slot of each interface method from its pointer to member
// (the Itanium representation g++ uses holds 1 + the slot's byte offset), so a declaration that
// drifts from portcls.sys's order is caught by a test run instead of a crash in the kernel.
#include "AudioHeaders.h"
#include "MingwInterfaceSlots.h"

namespace {

template <typename Method>
unsigned SlotOf(Method method) {
    static_assert(sizeof(Method) == 2 * sizeof(LONG_PTR), "g++ pointers to members are two words");
    LONG_PTR words[2];
    __builtin_memcpy(words, &method, sizeof(words));
    if ((words[0] & 1) == 0) {
        return ~0u; // not a virtual function
    }
    return static_cast<unsigned>((words[0] - 1) / static_cast<LONG_PTR>(sizeof(PVOID)));
}

MingwInterfaceSlot table[32];

} // namespace

#define CONDUIT_SLOT(interface, method, slot)                                                      \
    table[count++] = MingwInterfaceSlot {                                                          \
#interface "::" #method, slot, SlotOf(&interface::method)                                  \
    }

extern "C" unsigned MingwInterfaceSlots(const MingwInterfaceSlot** rows) {
    unsigned count = 0;
    CONDUIT_SLOT(IMiniportWaveRTInputStream, QueryInterface, 0);
    CONDUIT_SLOT(IMiniportWaveRTInputStream, Release, 2);
    CONDUIT_SLOT(IMiniportWaveRTInputStream, GetReadPacket, 3);
    CONDUIT_SLOT(IMiniportWaveRTOutputStream, AddRef, 1);
    CONDUIT_SLOT(IMiniportWaveRTOutputStream, SetWritePacket, 3);
    CONDUIT_SLOT(IMiniportWaveRTOutputStream, GetOutputStreamPresentationPosition, 4);
    CONDUIT_SLOT(IMiniportWaveRTOutputStream, GetPacketCount, 5);
    CONDUIT_SLOT(IAdapterPowerManagement2, PowerChangeState, 3);
    CONDUIT_SLOT(IAdapterPowerManagement2, QueryPowerChangeState, 4);
    CONDUIT_SLOT(IAdapterPowerManagement2, QueryDeviceCapabilities, 5);
    CONDUIT_SLOT(IAdapterPowerManagement2, PowerChangeState2, 6);
    // mingw-w64's own declarations of what the driver implements, held to the same standard.
    CONDUIT_SLOT(IAdapterPowerManagement, QueryDeviceCapabilities, 5);
    CONDUIT_SLOT(IMiniportTopology, Init, 5);
    CONDUIT_SLOT(IMiniportWaveRT, NewStream, 6);
    CONDUIT_SLOT(IMiniportWaveRT, GetDeviceDescription, 7);
    CONDUIT_SLOT(IMiniportWaveRTStream, GetClockRegister, 10);
    CONDUIT_SLOT(IMiniportWaveRTStreamNotification, AllocateBufferWithNotification, 11);
    CONDUIT_SLOT(IMiniportWaveRTStreamNotification, UnregisterNotificationEvent, 14);
    CONDUIT_SLOT(IPortWaveRTStream, GetPhysicalPageAddress, 9);
    CONDUIT_SLOT(IPortEvents, GenerateEventList, 4);
    CONDUIT_SLOT(IPowerNotify, PowerChangeNotify, 3);
    *rows = table;
    return count;
}
