// Per-thread message queue: windows with a procedure and an owning thread,
// posted messages, timers and socket readiness all feed the queue of the
// thread that owns the target window.
#pragma once

namespace pithorama {

// Delivers every message of the calling thread's queue that is due now
// (posted messages, expired timers, ready sockets); never waits.
void DispatchMessages();

// Blocks the calling thread until a message is due for it or timeoutMs
// milliseconds have passed (-1: no limit). Delivers nothing itself.
void WaitForMessage(int timeoutMs);

}  // namespace pithorama
