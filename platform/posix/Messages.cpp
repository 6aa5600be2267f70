// The message queue on POSIX. One lock guards the window table and every
// queue; window procedures always run without it. Each queue has an eventfd
// that a post from another thread writes, so that a thread blocked in poll()
// wakes; the same poll() also watches the sockets of the thread's windows and
// the time of its next timer, which is why waiting never spins.
#include "pithorama/platform/Messages.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "pithorama/platform/Sockets.h"
#include "pithorama/platform/posix/SocketWatch.h"

namespace pithorama {
namespace {

using Clock = std::chrono::steady_clock;

struct Posted {
  TWindow window;
  unsigned message;
  uintptr_t wParam;
  intptr_t lParam;
};

struct Timer {
  TWindow window;
  uintptr_t id;
  Clock::duration interval;
  Clock::time_point due;
};

// A socket watched for a window. The flags record which one-shot
// notifications were posted, so a level-triggered poll() never repeats them.
struct Watch {
  int fd;
  TWindow window;
  unsigned message;
  unsigned events;
  bool connectDone = false;  // the connect notification went out
  bool readPending = false;  // FdRead went out and no receive followed yet
  bool closeDone = false;    // FdClose (or a failed connect) went out: nothing more
};

// A descriptor other than a socket (a file watch, the signal pipe) whose
// handler runs on the owning thread when it can be read.
struct Readable {
  int fd;
  TWindow window;
  std::shared_ptr<std::function<void()>> handler;
};

struct Queue {
  Queue() : wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~Queue() {
    if (wakeFd >= 0) ::close(wakeFd);
  }
  int wakeFd;
  std::deque<Posted> posted;
  std::vector<Timer> timers;
  std::vector<Watch> watches;
  std::vector<Readable> readables;
};

struct WindowRecord {
  std::shared_ptr<TWindowProc> procedure;
  std::shared_ptr<Queue> queue;
};

std::mutex gLock;
std::unordered_map<TWindow, WindowRecord> gWindows;
std::unordered_map<int, std::shared_ptr<Queue>> gWatchedSockets;
TWindow gNextWindow = 1;

// The calling thread's queue; it lives while the thread or one of its windows does.
thread_local std::shared_ptr<Queue> tQueue;

std::shared_ptr<Queue> ThisQueue() {
  if (!tQueue) tQueue = std::make_shared<Queue>();
  return tQueue;
}

void Wake(const Queue& queue) {
  uint64_t one = 1;
  ssize_t written = ::write(queue.wakeFd, &one, sizeof one);
  (void)written;  // a full counter already means "wake up"
}

void DrainWake(const Queue& queue) {
  uint64_t count;
  ssize_t got = ::read(queue.wakeFd, &count, sizeof count);
  (void)got;  // nothing to read is fine: the fd is non-blocking
}

void Deliver(const Posted& message) {
  std::shared_ptr<TWindowProc> procedure;
  {
    std::lock_guard<std::mutex> hold(gLock);
    auto it = gWindows.find(message.window);
    if (it == gWindows.end()) return;  // destroyed after the post
    procedure = it->second.procedure;
  }
  if (*procedure) (*procedure)(message.message, message.wParam, message.lParam);
}

// The poll() events that matter for a watch now; 0 leaves it out of poll().
short PollEventsFor(const Watch& watch) {
  if (watch.closeDone) return 0;
  if ((watch.events & FdConnect) && !watch.connectDone) return POLLOUT;
  if ((watch.events & FdRead) && !watch.readPending) return POLLIN | POLLRDHUP;
  if ((watch.events & FdClose) && !(watch.events & FdRead)) return POLLRDHUP;
  return 0;  // waits for a receive to re-enable it
}

void PostLocked(Queue& queue, const Watch& watch, unsigned event, int error) {
  queue.posted.push_back({watch.window, watch.message, static_cast<uintptr_t>(watch.fd),
                          static_cast<intptr_t>(event | (static_cast<unsigned>(error) << 16))});
}

void ConvertConnect(Queue& queue, Watch& watch) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(watch.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  watch.connectDone = true;
  if (error != 0) watch.closeDone = true;  // a failed connect leaves a dead socket
  PostLocked(queue, watch, FdConnect, error ? posix::SocketErrorFromErrno(error) : 0);
}

// Data waiting gives FdRead; an orderly end with nothing left to read, or a
// reset, gives FdClose. The close is held back while data is unread so that a
// close handler cannot throw away the last reply of the peer.
void ConvertReadOrClose(Queue& queue, Watch& watch) {
  char probe;
  ssize_t got = ::recv(watch.fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  int error = got < 0 ? posix::SocketErrorFromErrno(errno) : 0;
  bool wantsClose = watch.events & FdClose;
  if (got > 0 || !wantsClose) {
    if (got > 0 && !(watch.events & FdRead)) {  // only close is watched: the peer ended
      watch.closeDone = true;
      PostLocked(queue, watch, FdClose, 0);
      return;
    }
    watch.readPending = true;
    PostLocked(queue, watch, FdRead, error);
    return;
  }
  watch.closeDone = true;
  PostLocked(queue, watch, FdClose, error);
}

// Looks at the queue's sockets without waiting and queues their notifications.
void CollectReadiness(Queue& queue) {
  std::lock_guard<std::mutex> hold(gLock);
  std::vector<pollfd> fds;
  for (const Watch& watch : queue.watches) {
    short events = PollEventsFor(watch);
    fds.push_back({events ? watch.fd : -1, events, 0});
  }
  if (fds.empty() || ::poll(fds.data(), fds.size(), 0) <= 0) return;
  for (size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    Watch& watch = queue.watches[i];
    if (fds[i].events == POLLOUT)
      ConvertConnect(queue, watch);
    else
      ConvertReadOrClose(queue, watch);
  }
}

// Runs the handlers of the queue's readable descriptors that have data now;
// the handlers run without the lock, since they usually post messages.
void RunReadyHandlers(Queue& queue) {
  std::vector<std::shared_ptr<std::function<void()>>> ready;
  {
    std::lock_guard<std::mutex> hold(gLock);
    std::vector<pollfd> fds;
    for (const Readable& readable : queue.readables) fds.push_back({readable.fd, POLLIN, 0});
    if (fds.empty() || ::poll(fds.data(), fds.size(), 0) <= 0) return;
    for (size_t i = 0; i < fds.size(); ++i)
      if (fds[i].revents != 0) ready.push_back(queue.readables[i].handler);
  }
  for (const auto& handler : ready) (*handler)();
}

void DeliverDueTimers(Queue& queue) {
  std::vector<Posted> due;
  {
    std::lock_guard<std::mutex> hold(gLock);
    Clock::time_point now = Clock::now();
    for (Timer& timer : queue.timers) {
      if (timer.due > now) continue;
      timer.due = now + timer.interval;
      due.push_back({timer.window, WmTimer, timer.id, 0});
    }
  }
  for (const Posted& message : due) Deliver(message);
}

// Removes the watch of fd from whichever queue holds it. Caller holds gLock.
void ForgetWatchLocked(int fd) {
  auto it = gWatchedSockets.find(fd);
  if (it == gWatchedSockets.end()) return;
  auto& watches = it->second->watches;
  watches.erase(
      std::remove_if(watches.begin(), watches.end(), [fd](const Watch& w) { return w.fd == fd; }),
      watches.end());
  gWatchedSockets.erase(it);
}

int MillisecondsUntil(Clock::time_point due) {
  auto rest = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
  return rest <= 0 ? 0 : static_cast<int>(std::min<long long>(rest, 1 << 30));
}

}  // namespace

TWindow CreateMessageWindow(TWindowProc procedure) {
  std::shared_ptr<Queue> queue = ThisQueue();
  std::lock_guard<std::mutex> hold(gLock);
  TWindow window = gNextWindow++;
  gWindows[window] = {std::make_shared<TWindowProc>(std::move(procedure)), queue};
  return window;
}

void DestroyMessageWindow(TWindow window) {
  std::shared_ptr<TWindowProc> procedure;  // freed after the lock is left
  std::lock_guard<std::mutex> hold(gLock);
  auto it = gWindows.find(window);
  if (it == gWindows.end()) return;
  Queue& queue = *it->second.queue;
  std::erase_if(queue.timers, [window](const Timer& t) { return t.window == window; });
  std::vector<int> watched;
  for (const Watch& watch : queue.watches)
    if (watch.window == window) watched.push_back(watch.fd);
  for (int fd : watched) ForgetWatchLocked(fd);
  std::erase_if(queue.readables, [window](const Readable& r) { return r.window == window; });
  procedure = std::move(it->second.procedure);
  gWindows.erase(it);
}

bool IsWindowOfCallingThread(TWindow window) {
  std::lock_guard<std::mutex> hold(gLock);
  auto it = gWindows.find(window);
  return it != gWindows.end() && it->second.queue == tQueue;
}

intptr_t DefWindowProcedure(unsigned, uintptr_t, intptr_t) { return 0; }

bool PostMessage(TWindow window, unsigned message, uintptr_t wParam, intptr_t lParam) {
  std::lock_guard<std::mutex> hold(gLock);
  auto it = gWindows.find(window);
  if (it == gWindows.end()) return false;
  it->second.queue->posted.push_back({window, message, wParam, lParam});
  Wake(*it->second.queue);
  return true;
}

bool SetTimer(TWindow window, uintptr_t id, unsigned intervalMs) {
  std::lock_guard<std::mutex> hold(gLock);
  auto it = gWindows.find(window);
  if (it == gWindows.end()) return false;
  auto interval = std::chrono::milliseconds(std::max(intervalMs, 1u));
  auto& timers = it->second.queue->timers;
  auto found = std::find_if(timers.begin(), timers.end(),
                            [&](const Timer& t) { return t.window == window && t.id == id; });
  if (found != timers.end())
    *found = {window, id, interval, Clock::now() + interval};
  else
    timers.push_back({window, id, interval, Clock::now() + interval});
  return true;
}

bool KillTimer(TWindow window, uintptr_t id) {
  std::lock_guard<std::mutex> hold(gLock);
  auto it = gWindows.find(window);
  if (it == gWindows.end()) return false;
  auto& timers = it->second.queue->timers;
  size_t removed =
      std::erase_if(timers, [&](const Timer& t) { return t.window == window && t.id == id; });
  return removed > 0;
}

void DispatchMessages() {
  std::shared_ptr<Queue> queue = ThisQueue();
  DrainWake(*queue);
  CollectReadiness(*queue);
  RunReadyHandlers(*queue);
  std::deque<Posted> batch;
  {
    std::lock_guard<std::mutex> hold(gLock);
    batch.swap(queue->posted);  // what handlers post now waits for the next pump
  }
  for (const Posted& message : batch) Deliver(message);
  DeliverDueTimers(*queue);
}

void WaitForMessage(int timeoutMs) {
  std::shared_ptr<Queue> queue = ThisQueue();
  std::vector<pollfd> fds;
  {
    std::lock_guard<std::mutex> hold(gLock);
    if (!queue->posted.empty()) return;
    for (const Timer& timer : queue->timers) {
      int rest = MillisecondsUntil(timer.due);
      if (timeoutMs < 0 || rest < timeoutMs) timeoutMs = rest;
    }
    if (timeoutMs == 0) return;
    fds.push_back({queue->wakeFd, POLLIN, 0});
    for (const Watch& watch : queue->watches) {
      short events = PollEventsFor(watch);
      if (events) fds.push_back({watch.fd, events, 0});
    }
    for (const Readable& readable : queue->readables) fds.push_back({readable.fd, POLLIN, 0});
  }
  // An interrupted poll() simply returns; callers loop on their own condition.
  if (::poll(fds.data(), fds.size(), timeoutMs) > 0 && fds[0].revents) DrainWake(*queue);
}

namespace posix {

bool WatchSocket(int fd, TWindow window, unsigned message, unsigned events) {
  std::lock_guard<std::mutex> hold(gLock);
  ForgetWatchLocked(fd);
  if (events == 0) return true;
  auto it = gWindows.find(window);
  if (it == gWindows.end()) return false;
  it->second.queue->watches.push_back({fd, window, message, events});
  gWatchedSockets[fd] = it->second.queue;
  Wake(*it->second.queue);  // a waiting owner starts watching at once
  return true;
}

void SocketWasRead(int fd) {
  std::lock_guard<std::mutex> hold(gLock);
  auto it = gWatchedSockets.find(fd);
  if (it == gWatchedSockets.end()) return;
  for (Watch& watch : it->second->watches)
    if (watch.fd == fd) watch.readPending = false;
}

bool WatchReadable(int fd, TWindow window, std::function<void()> onReadable) {
  std::lock_guard<std::mutex> hold(gLock);
  auto it = gWindows.find(window);
  if (it == gWindows.end()) return false;
  Queue& queue = *it->second.queue;
  std::erase_if(queue.readables, [fd](const Readable& r) { return r.fd == fd; });
  queue.readables.push_back(
      {fd, window, std::make_shared<std::function<void()>>(std::move(onReadable))});
  Wake(queue);  // a waiting owner starts watching at once
  return true;
}

void ForgetReadable(int fd) {
  std::lock_guard<std::mutex> hold(gLock);
  for (auto& [window, record] : gWindows)
    std::erase_if(record.queue->readables, [fd](const Readable& r) { return r.fd == fd; });
}

}  // namespace posix
}  // namespace pithorama
