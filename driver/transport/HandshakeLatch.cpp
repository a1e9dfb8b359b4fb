// The answer latch of a direction's handshakes. The settled event is set and cleared only under
// the latch's lock, so a wake-up always means this handshake was answered or abandoned: an
// answer that comes after its handshake closed finds the latch shut and wakes nobody.
#include "HandshakeLatch.h"

#include "transport/TransportProtocol.h"

HandshakeLatch::HandshakeLatch() : openNumber(0), answered(false), abandoned(false), answer(0) {
    KeInitializeEvent(&settled, NotificationEvent, FALSE);
}

VOID HandshakeLatch::Open(ULONG number) {
    SpinLockHolder held(lock);
    KeClearEvent(&settled);
    openNumber = number;
    answered = false;
    abandoned = false;
    answer = STATUS_UNSUCCESSFUL;
}

bool HandshakeLatch::Answer(LONG status, bool numbered, ULONG number) {
    SpinLockHolder held(lock);
    const bool taken =
        openNumber != 0 && !answered && !abandoned && (!numbered || number == openNumber);
    if (taken) {
        answered = true;
        answer = status;
        KeSetEvent(&settled, IO_NO_INCREMENT, FALSE);
    }
    return taken;
}

bool HandshakeLatch::Abandon() {
    SpinLockHolder held(lock);
    const bool waiting = openNumber != 0 && !answered && !abandoned;
    if (waiting) {
        abandoned = true;
        KeSetEvent(&settled, IO_NO_INCREMENT, FALSE);
    }
    return waiting;
}

NTSTATUS HandshakeLatch::Close(bool clientSignalled, NTSTATUS waitStatus, ULONG* outcome) {
    SpinLockHolder held(lock);
    NTSTATUS result = STATUS_DEVICE_NOT_READY;
    // An answer that arrived between the end of the wait and now still counts: it came while
    // the handshake was open.
    if (answered) {
        result = answer;
        *outcome = NT_SUCCESS(answer) ? transport::HandshakeAnswered : transport::HandshakeRefused;
    } else if (abandoned) {
        *outcome = transport::HandshakeClientGone;
    } else if (!clientSignalled) {
        *outcome = transport::HandshakeNoClient;
    } else {
        *outcome = transport::HandshakeTimedOut;
        if (waitStatus != STATUS_TIMEOUT) {
            result = STATUS_UNSUCCESSFUL;
        }
    }
    openNumber = 0;
    return result;
}
