// The endpoint property writer. The endpoints it writes are found through the channel's WaveRT
// filter, so it has work only once the subdevices exist.
#include "EndpointPropertyWriter.h"

#include "transport/TransportChannel.h"

NTSTATUS WriteEndpointFormat(TransportChannel* channel) {
    if (channel->waveMiniport == nullptr) {
        return STATUS_SUCCESS; // no WaveRT filter registered: no endpoint can name it
    }
    return STATUS_NOT_IMPLEMENTED;
}
