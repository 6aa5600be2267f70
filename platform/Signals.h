// The end of a long-running host process on a termination signal (SIGTERM,
// SIGINT, SIGHUP), taken synchronously by one thread instead of in a handler.
//
//   BlockTerminationSignals();   // first, before any thread starts
//   StartServerThreads();
//   WaitForTerminationSignal();  // returns when one arrives
#pragma once

namespace pithorama {

// Holds the termination signals back in the calling thread and in every
// thread it starts afterwards.
void BlockTerminationSignals();
// Blocks until a termination signal arrives; answers its number.
int WaitForTerminationSignal();

}  // namespace pithorama
