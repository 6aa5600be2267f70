// The resident server's side of the queue (CgiQueue.h): its main window with
// the title that clients look for, the polling timer, the wake-up on changes
// of the queue file, and the serving of each taken request, on the timer's
// thread (ServerMode) or on a thread of its own (ServerThreadMode).
//
//   server_ = std::make_unique<TResidentServer>(queue, CGIMode,
//       [this](const std::string& name) { OpenRequestFiles(name); RunRequest(); ... });
//
// The serve function runs one request completely on the calling thread; the
// entry is removed from the queue after it returns. Deleting the queue file
// ends the server at its next tick; so does a close message (SIGTERM, SIGINT,
// SIGHUP).
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "pithorama/engine/HttpEng.h"
#include "pithorama/gateways/resident/CgiQueue.h"
#include "pithorama/platform/FileWatch.h"
#include "pithorama/platform/Messages.h"
#include "pithorama/platform/WindowTitle.h"

namespace pithorama {

// The thread that serves one request in ServerThreadMode. It runs from its
// creation and is gone when its request is finished.
class TCGIRequestThread : public TObject {
 public:
  std::string RequestFile;
};
// The request thread serving the calling thread's request, or nullptr.
TCGIRequestThread* CurrentRequestThread();

class TResidentServer {
 public:
  // Serves one taken request; false when its answer could not be written
  // whole (its request file then stays, for the client to serve it itself).
  using TServeRequest = std::function<bool(const std::string& name)>;

  // Sets the server up on the calling thread, whose message loop then drives it.
  TResidentServer(TServerQueue& queue, TCGIMode mode, TServeRequest serve);
  // Stops polling and waits for the request threads still running.
  ~TResidentServer();
  TResidentServer(const TResidentServer&) = delete;
  TResidentServer& operator=(const TResidentServer&) = delete;

  // Serves one taken request and removes its entry.
  void HandleRequestFile(const std::string& name);
  // One look at the queue: serves the next request, if any, and ends the
  // program when the queue file is gone.
  void ServerTimerTick();

 private:
  intptr_t WindowProc(unsigned message);
  void RunRequestThread(const std::string& name);
  // Removes the served entry from the queue; when the queue stays locked
  // through every try (many clients polling it), the entry is kept and
  // finished at a later tick, so that its client is not left waiting.
  void FinishEntry(const std::string& name, bool answered = true);
  void FinishHeldEntries();

  TServerQueue& queue_;
  TCGIMode mode_;
  TServeRequest serve_;
  TWindow window_ = 0;
  TWindowTitle title_;
  TFileWatch watch_;
  bool ticking_ = false;
  bool closing_ = false;
  std::mutex threadsLock_;
  std::condition_variable threadsDone_;
  int runningThreads_ = 0;
  std::mutex heldLock_;
  std::vector<std::string> heldEntries_;
};

}  // namespace pithorama
