// The resident CGI server's queue: one long-running copy of a program (the
// server) serves the requests of many short-lived CGI starts of the same
// program file (the clients). They meet only through files in the work folder
// beside the program, all named from one prefix (GetServerFilePrefix):
//
//   prefix + "_S"                   the queue file of 268-byte entries (QueueEntry.h);
//                                   its last-write time is the server's heartbeat
//   prefix + "_C_" + id + "_REQ"    a request file (standard gateway, RequestFile.h)
//   prefix + "_C_" + id + "_OUT"    its answer file (standard gateway)
//
// A client appends an entry (state 0) and waits; the server takes it (state 1),
// serves it with its ordinary engine, and removes it (finished); the client
// then relays the answer and ends. The server marks its presence by a lock
// on prefix + "_P", and each client its life by a lock of its own
// (Liveness.h); its main window's title, the program file's name + "_S", is
// set as well.
//
// Both CGI gateways use this one module. What differs between them is data
// and three hooks in a TServerFlavour; a gateway keeps one TServerQueue built
// on its flavour and calls the routines below from its start and end steps
// and from its engine:
//
//   program start   TServerQueue::ProgramStart, then in a client:
//                   if (queue.QueueRequest(data)) queue.WaitForAnswer(data);
//   engine, server  TResidentServer (CgiServer.h) takes requests from the queue
//   engine, client  no server answered: if (!queue.HandOver(data)) serve it yourself
//   program end     TServerQueue::ProgramEnd
//
// The Windows CGI gateway's record, for instance, differs from the standard
// one (StandardCgiFlavour in CgiSEng.cpp) in every row:
//
//   TServerFlavour flavour;                 // server started without arguments
//   flavour.QueueAttemptsAfterStart = 21;   flavour.QueueAttemptPauseMs = 200;
//   flavour.ServerTimerMs = 60;             flavour.TakesReqEntries = false;
//   flavour.QueueAppendAccess = FileAccess::Write;
//   flavour.MayQueue = [] { return WinCGIStart; };
//   flavour.PrepareRequest = [] { return ProfileFileName; };  // the profile is the request
//   // RelayAnswer stays empty: the server writes the output file itself.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "pithorama/platform/Files.h"

namespace pithorama {

// One entry of the queue file (QueueEntry.h, private to the library).
struct TQueueEntry;

// How one gateway takes part. Every field is a row of the differences between
// the two CGI gateways; StandardCgiFlavour in CgiSEng.cpp is one instance.
struct TServerFlavour {
  // The arguments with which a client starts the server.
  std::vector<std::string> ServerStartArguments;
  // A client that starts the server first creates a missing queue file.
  bool CreateQueueBeforeStart = false;
  // Tries to queue after starting the server, and the longest pause between them.
  int QueueAttemptsAfterStart = 6;
  int QueueAttemptPauseMs = 500;
  // The server's polling interval (an upper bound: changes of the queue file
  // wake the server at once).
  unsigned ServerTimerMs = 50;
  // The entries the server takes: names ending in "_REQ" (request files of
  // the standard gateway) or the others (profile files).
  bool TakesReqEntries = true;
  // After serving, the server deletes the entry's file.
  bool DeletesRequestFileAfterServing = false;
  // A client whose wait aborts also deletes its request file.
  bool AbortDeletesRequestFile = false;
  // A client that once saw the server's window aborts when it vanishes.
  bool UpdatesServerWindowSeen = false;
  // The client tests the queue file's age afresh on every pass of its wait;
  // otherwise it reads the last-write time once when the wait starts.
  bool QueueAgeReadEachPass = false;
  // A client that finds its request failed writes "CGI server aborted".
  bool LogsServerAborted = false;
  // Program start deletes leftover request and answer files when no queue
  // exists, and the server's CreateQueue those no entry names; the server's
  // program end deletes the work files.
  bool CleansWorkFiles = false;
  // Pause after a start deleted a stale queue file.
  int StaleQueuePauseMs = 0;
  // How a client opens the queue file to append.
  FileAccess QueueAppendAccess = FileAccess::ReadWrite;

  // Whether this start may queue at all (a start of the other gateway may not).
  std::function<bool()> MayQueue;
  // Client, before queueing: makes the request available to the server and
  // answers the name of the entry (for the standard gateway: writes the
  // request file). Called once per start however often queueing is tried;
  // empty when the request cannot be queued.
  std::function<std::string()> PrepareRequest;
  // Client, after the server finished the entry: relays the answer. Empty
  // function: the server wrote the answer where the web server reads it.
  std::function<bool()> RelayAnswer;
  // Client, when the wait aborts and AbortDeletesRequestFile is set.
  std::function<void()> DeleteRequestFile;
  // Client, when it starts the server: the copy's environment. Empty
  // function: this start's environment without its request (ServerEnvironment).
  std::function<std::vector<std::string>()> ServerEnvironment;
};

// Request states that only a client derives, never stored in an entry.
constexpr int QueueMissing = 3;     // the queue file is gone
constexpr int QueueUnopenable = 4;  // the queue file stayed locked through every try

// Queue bookkeeping of a thread that takes part.
struct TServerData {
  bool QueueOwner = false;  // this process created the queue file and deletes it at its end
  std::string QueuedName;   // the EntryFile of the entry this client appended
};

class TServerQueue {
 public:
  explicit TServerQueue(TServerFlavour flavour) : Flavour(std::move(flavour)) {}

  const TServerFlavour Flavour;
  // This process is the server; decided by the gateway at program start.
  bool IsServer = false;
  // A client saw the server's window at least once.
  bool ServerWindowSeen = false;

  // The executable's folder + "/Temp" (made, owner only, when missing; the
  // executable's folder itself when it cannot be), "/", the executable's file
  // name. Computed once per process.
  static const std::string& GetServerFilePrefix();
  static std::string QueueFileName() { return GetServerFilePrefix() + "_S"; }
  // The title of the server's main window.
  static std::string ServerTitle();

  // Program start: a stale queue file (no server window, last write more than
  // 30 s ago) is deleted, leftovers are cleaned, and the server creates the queue.
  void ProgramStart(TServerData& data);
  // Server: makes the queue file, keeping the waiting entries of one that
  // clients made for it. Logs "Can not create file <name>" on failure.
  bool CreateQueue(TServerData& data);
  // Client: appends this start's entry; false when there is no queue or it
  // stayed locked.
  bool QueueRequest(TServerData& data);
  // Client: waits for the entry to finish, relays the answer and ends the
  // program. Returns false, without ending, when no server took the request
  // and it is still whole (its entry withdrawn): the caller serves it itself.
  bool WaitForAnswer(TServerData& data);
  // Server: the first waiting entry; marks it taken when it is this flavour's.
  bool TakeNextRequest(TQueueEntry& entry);
  // Client: the state of its entry, 2 when it is gone, QueueMissing or QueueUnopenable.
  int GetRequestState(const TServerData& data);
  // Server: removes every entry of `name` from the queue. False when the
  // queue stayed locked through every try: the entry is still there.
  // `answered` false: the answer could not be written; the request file stays
  // for its client, which serves the request itself.
  bool FinishQueuedRequest(const std::string& name, bool answered = true);
  // Client that found no server: starts one (unless one is present) and
  // queues. Returns only when the request was not taken (no server could be
  // started, every try to queue failed, the server never came); the caller
  // then serves the request itself.
  bool HandOver(TServerData& data);
  // Server: now and then deletes the files of clients that ended without
  // clean-up (killed while waiting, or while their request was served).
  void SweepGoneClients();
  // Program end of the server: deletes the work files and its queue.
  void ProgramEnd(TServerData& data);

 private:
  bool QueueIsStale(double ageAtStart, double waitedSeconds) const;
  bool WithdrawRequest(TServerData& data);
  bool IsSoundEntry(const TQueueEntry& entry);
  bool DropDeadEntries(std::vector<TQueueEntry>& entries);
  double lastSweep_ = 0;
  [[noreturn]] void AbortWait();
  void DeleteLeftovers();
};

// The client's environment without the variables of its CGI request, for the
// server it starts: the server must not carry the first request's variables
// (cookies, credentials) for the rest of its life.
std::vector<std::string> ServerEnvironment(const std::vector<std::string>& environment);

// The hexadecimal id of this start's request files.
std::string MakeRequestId();

}  // namespace pithorama
