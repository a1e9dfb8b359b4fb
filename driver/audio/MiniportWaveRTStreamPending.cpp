// Placeholder until the WaveRT stream object exists: no stream can be created yet, so every
// NewStream that passes its checks ends here with STATUS_NOT_IMPLEMENTED.
#include "audio/MiniportWaveRTStream.h"

NTSTATUS CreateWaveRTStream(PMINIPORTWAVERTSTREAM* stream, bool isCapture,
                            CMiniportWaveRT* miniport, PPORTWAVERTSTREAM portStream,
                            TransportChannel* channel) {
    UNREFERENCED_PARAMETER(isCapture);
    UNREFERENCED_PARAMETER(miniport);
    UNREFERENCED_PARAMETER(portStream);
    UNREFERENCED_PARAMETER(channel);
    *stream = nullptr;
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS InitWaveRTStreamFormat(PMINIPORTWAVERTSTREAM stream, const WAVEFORMATEXTENSIBLE* record) {
    UNREFERENCED_PARAMETER(stream);
    UNREFERENCED_PARAMETER(record);
    return STATUS_NOT_IMPLEMENTED;
}
