#include "pithorama/gateways/resident/CgiServer.h"

#include <chrono>

#include "pithorama/gateways/resident/QueueEntry.h"
#include "pithorama/platform/Files.h"
#include "pithorama/platform/Signals.h"
#include "pithorama/platform/Threads.h"

namespace pithorama {

namespace {

constexpr uintptr_t kServerTimer = 1;
constexpr unsigned WmQueueChanged = WmUser + 0x52;
// How long the end of the server waits for requests still being served.
constexpr auto kThreadsGrace = std::chrono::seconds(60);

thread_local TCGIRequestThread* requestThread = nullptr;

}  // namespace

TCGIRequestThread* CurrentRequestThread() { return requestThread; }

TResidentServer::TResidentServer(TServerQueue& queue, TCGIMode mode, TServeRequest serve)
    : queue_(queue), mode_(mode), serve_(std::move(serve)) {
  window_ = CreateMessageWindow(
      [this](unsigned message, uintptr_t, intptr_t) { return WindowProc(message); });
  title_.Set(TServerQueue::ServerTitle());
  SetTimer(window_, kServerTimer, queue_.Flavour.ServerTimerMs);
  watch_.Start(TServerQueue::QueueFileName(), window_, WmQueueChanged);
  PostCloseOnTermination(window_);
}

TResidentServer::~TResidentServer() {
  watch_.Stop();
  DestroyMessageWindow(window_);
  std::unique_lock<std::mutex> hold(threadsLock_);
  threadsDone_.wait_for(hold, kThreadsGrace, [this] { return runningThreads_ == 0; });
  title_.Clear();
}

intptr_t TResidentServer::WindowProc(unsigned message) {
  switch (message) {
    case WmTimer:
    case WmQueueChanged:
      ServerTimerTick();
      break;
    case WmClose:
      // A request on this thread that pumps messages finishes first.
      if (ticking_)
        closing_ = true;
      else
        TerminateProgram();
      break;
  }
  return 0;
}

void TResidentServer::ServerTimerTick() {
  // A request served on this thread may pump messages (the mail sender does):
  // a wake-up then must not start a second request inside the first.
  if (ticking_) return;
  ticking_ = true;
  KillTimer(window_, kServerTimer);
  try {
    FinishHeldEntries();
    TQueueEntry entry;
    if (queue_.TakeNextRequest(entry)) {
      if (FileExists(entry.EntryFile))
        HandleRequestFile(entry.EntryFile);
      else
        FinishEntry(entry.EntryFile);
    }
    queue_.SweepGoneClients();
  } catch (const std::exception&) {
    // A failed look at the queue is tried again at the next tick.
  }
  ticking_ = false;
  if (closing_ || !FileExists(TServerQueue::QueueFileName())) {
    TerminateProgram();
    return;
  }
  SetTimer(window_, kServerTimer, queue_.Flavour.ServerTimerMs);
}

void TResidentServer::HandleRequestFile(const std::string& name) {
  if (mode_ != TCGIMode::ServerThreadMode) {
    FinishEntry(name, serve_(name));
    return;
  }
  {
    std::lock_guard<std::mutex> hold(threadsLock_);
    ++runningThreads_;
  }
  StartDetachedThread([this, name] { RunRequestThread(name); });
  // The entry is now taken: look for the next one at once.
  PostMessage(window_, WmQueueChanged, 0, 0);
}

void TResidentServer::FinishEntry(const std::string& name, bool answered) {
  if (queue_.FinishQueuedRequest(name, answered)) return;
  std::lock_guard<std::mutex> hold(heldLock_);
  heldEntries_.push_back(name);
}

void TResidentServer::FinishHeldEntries() {
  std::vector<std::string> held;
  {
    std::lock_guard<std::mutex> hold(heldLock_);
    held.swap(heldEntries_);
  }
  for (const std::string& name : held) FinishEntry(name);
}

// One request on a thread of its own; the thread ends with it.
void TResidentServer::RunRequestThread(const std::string& name) {
  TCGIRequestThread self;
  self.RequestFile = name;
  requestThread = &self;
  bool answered = true;
  try {
    answered = serve_(name);
  } catch (const std::exception&) {
  }
  try {
    FinishEntry(name, answered);
  } catch (const std::exception&) {
  }
  requestThread = nullptr;
  std::lock_guard<std::mutex> hold(threadsLock_);
  --runningThreads_;
  threadsDone_.notify_all();
}

}  // namespace pithorama
