// What the process does when it is told to end (SIGTERM, SIGINT and SIGHUP on
// POSIX: a web server whose client hung up, a shell's Ctrl-C, a closed
// terminal; on Windows the console's control events and a SIGTERM raised in
// the process) and when it writes to a reader that has gone (SIGPIPE; Windows
// has no such signal).
//
// A process that serves one request:
//
//   IgnoreBrokenPipe();                                // a failed write is an error
//   SetTerminationAction(TTerminationAction::RemoveFilesAndEnd);
//   RemoveOnTermination(uploadPath);                   // while the file is temporary
//   ...
//   DeleteFile(uploadPath);
//   KeepOnTermination(uploadPath);
//
// The handlers do only what is safe inside a signal handler: they read the
// list of files without locks or allocation, delete them and end the process.
//
// A long-running host process takes the signal synchronously on one thread
// instead of in a handler:
//
//   BlockTerminationSignals();   // first, before any thread starts
//   StartServerThreads();
//   WaitForTerminationSignal();  // returns when one arrives
//
// A process that runs a message loop (a resident server, a client waiting for
// its answer) turns the signals into a close message to its window and ends
// through its own clean-up:
//
//   PostCloseOnTermination(window);  // WmClose arrives like any message
#pragma once

#include <string>

#include "pithorama/platform/Messages.h"

namespace pithorama {

enum class TTerminationAction {
  // The operating system's default: the process ends at once.
  Default,
  // Deletes every file registered with RemoveOnTermination, then ends the
  // process as the signal itself would (the parent sees the signal). For a
  // process that serves one request and has nothing else to save.
  RemoveFilesAndEnd,
  // Posts WmClose to the window given to PostCloseOnTermination; chosen by
  // that call.
  PostClose,
};

// Chooses what the termination signals do from now on, for the whole process.
void SetTerminationAction(TTerminationAction action);

// Chooses PostClose with `window` as the receiver: each termination signal
// posts WmClose to it, on its owning thread; a later call moves the signals
// to another window. Call on the thread that owns the window. False when the
// signals could not be caught.
bool PostCloseOnTermination(TWindow window);

// Writes to a pipe or socket whose reader has gone fail with an error
// (EPIPE) instead of ending the process.
void IgnoreBrokenPipe();

// Registers a file that a termination signal deletes while it stays
// registered; KeepOnTermination withdraws it. Both are safe from any thread;
// the list grows to the largest number of files registered at one time. A
// name too long for the list is not registered (false).
bool RemoveOnTermination(const std::string& path);
void KeepOnTermination(const std::string& path);

// Holds the termination signals back in the calling thread and in every
// thread it starts afterwards.
void BlockTerminationSignals();
// Blocks until a termination signal arrives; answers its number.
int WaitForTerminationSignal();
// True for the number of the hang-up signal (SIGHUP on POSIX; Windows has none).
bool IsHangUpSignal(int signal);

}  // namespace pithorama
