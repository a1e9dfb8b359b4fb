// Where a direction's handshake learns its answer. A handshake opens the latch under its number;
// the client's answer is latched into it, at most once and, when the answer carries a number,
// only if it is that handshake's; the cleanup of the client's file abandons it; the handshake
// closes it to learn how it ended. Ticks never come here, so nothing but an answer to this
// handshake can make it succeed. Any thread may answer or abandon; only the handshake, under
// ChannelLock, opens and closes.
#pragma once

#include "platform/KernelHeaders.h"
#include "support/Locks.h"

class HandshakeLatch {
public:
    HandshakeLatch();
    HandshakeLatch(const HandshakeLatch&) = delete;
    HandshakeLatch& operator=(const HandshakeLatch&) = delete;

    // Opens the latch for handshake number (never 0), forgetting whatever came before.
    VOID Open(ULONG number);
    // The client's answer; numbered: it names the handshake `number`. True when the waiting
    // handshake took it.
    bool Answer(LONG status, bool numbered, ULONG number);
    // The client's file went away: a waiting handshake will get no answer. True when one waited.
    bool Abandon();
    // Signalled once the open handshake is settled (answered or abandoned), never otherwise.
    PKEVENT SettledEvent() { return &settled; }
    // Closes the latch. clientSignalled: the client's event was set; waitStatus: how the wait on
    // SettledEvent ended (unused when the client was not signalled). Returns the handshake's
    // status and stores how it ended (a transport::Handshake* outcome) in *outcome.
    NTSTATUS Close(bool clientSignalled, NTSTATUS waitStatus, ULONG* outcome);

private:
    SpinLock lock;    // held briefly, never re-entered
    KEVENT settled;   // notification event: set under lock, cleared by Open
    ULONG openNumber; // 0 while no handshake waits
    bool answered;
    bool abandoned;
    LONG answer;
};
