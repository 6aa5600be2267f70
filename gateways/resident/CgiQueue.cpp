#include "pithorama/gateways/resident/CgiQueue.h"

#include <chrono>
#include <cstdio>
#include <set>

#include "pithorama/engine/HttpEng.h"
#include "pithorama/gateways/resident/Liveness.h"
#include "pithorama/gateways/resident/QueueEntry.h"
#include "pithorama/platform/Environment.h"
#include "pithorama/platform/FileWatch.h"
#include "pithorama/platform/Module.h"
#include "pithorama/platform/Paths.h"
#include "pithorama/platform/Process.h"
#include "pithorama/platform/Signals.h"
#include "pithorama/platform/Threads.h"
#include "pithorama/platform/WindowTitle.h"

namespace pithorama {

namespace {

// Every access to the queue file makes this many tries.
constexpr int kQueueAttempts = 11;
constexpr int kQueuePauseMs = 50;
constexpr int kQueueSlowPauseMs = 100;
constexpr double kStaleSeconds = 30;
constexpr double kLongestWaitSeconds = 180;
constexpr int kClientTickMs = 100;
constexpr unsigned WmQueueChanged = WmUser + 0x51;
// Files younger than this may belong to a client that has made its lock file
// but not locked it yet: never taken for leftovers.
constexpr double kYoungFileSeconds = 5;
// A client gives up on a server that has not come this long after it queued.
constexpr double kServerStartSeconds = 15;
// How often a server looks for the files of clients that are gone.
constexpr double kSweepSeconds = 5;

std::string ReadAll(TFile& file) {
  std::string content;
  char block[4096];
  int64_t got;
  while ((got = file.Read(block, sizeof block)) > 0)
    content.append(block, static_cast<size_t>(got));
  return content;
}

bool WriteEntries(TFile& file, const std::vector<TQueueEntry>& entries) {
  std::string bytes;
  for (const TQueueEntry& entry : entries) {
    TEntryBytes encoded = EncodeEntry(entry);
    bytes.append(encoded.data(), encoded.size());
  }
  // Written over the old entries, then cut to length: a rewrite never
  // empties the file first (which would lose the entries if the write then
  // failed), and a file cut to zero and written is one ext4 writes out to the
  // disk at its close, a wait the next rewrite of the queue would pay.
  return file.Seek(0) && file.Write(bytes) && file.Truncate(static_cast<int64_t>(bytes.size())) &&
         file.Touch();
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The client's waiting room: a hidden window that wakes when the watched
// file changes and is told to close by SIGTERM, SIGINT and SIGHUP.
class TQueueWaiter {
 public:
  explicit TQueueWaiter(const std::string& watched) {
    window_ = CreateMessageWindow([this](unsigned message, uintptr_t, intptr_t) -> intptr_t {
      if (message == WmClose) closed_ = true;
      if (message == WmQueueChanged) changed_ = true;
      return 0;
    });
    PostCloseOnTermination(window_);
    watch_.Start(watched, window_, WmQueueChanged);
  }
  ~TQueueWaiter() { DestroyMessageWindow(window_); }
  TQueueWaiter(const TQueueWaiter&) = delete;
  TQueueWaiter& operator=(const TQueueWaiter&) = delete;

  // Delivers what is due; true when a close was asked for.
  bool Pump() {
    DispatchMessages();
    return closed_;
  }
  // Waits up to `ms`, less when the watched file changes or a signal
  // arrives. Changes of other files in the folder wake the thread too; it
  // goes back to waiting.
  void Wait(int ms) {
    const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    changed_ = false;
    while (!changed_ && !closed_) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      WaitForMessage(static_cast<int>(left.count()));
      DispatchMessages();
    }
  }
  bool Closed() const { return closed_; }

 private:
  TWindow window_ = 0;
  TFileWatch watch_;
  bool closed_ = false;
  bool changed_ = false;
};

}  // namespace

const std::string& TServerQueue::GetServerFilePrefix() {
  static const std::string prefix = [] {
    const std::string exe = ExecutableFileName();
    std::string folder = ExtractFilePath(exe);
    if (!folder.empty() && folder.back() == HostPathStyle().delimiter) folder.pop_back();
    const std::string temp = folder + HostPathStyle().delimiter + "Temp";
    // The work folder holds whole requests (cookies, credentials) and the
    // locks that tell who is alive: the owner's alone. One that another user
    // could reach is refused.
    if (CreatePrivateDir(temp) || MakeFolderPrivate(temp))
      folder = temp;
    else if (DirectoryExists(temp))
      WriteErrorLog("Work folder " + temp + " is not the owner's alone: not used");
    return folder + HostPathStyle().delimiter + ExtractFileName(exe);
  }();
  return prefix;
}

std::string TServerQueue::ServerTitle() { return ExtractFileName(ExecutableFileName()) + "_S"; }

void TServerQueue::ProgramStart(TServerData& data) {
  // Exactly one server: a copy that finds another one present is none.
  if (IsServer && !TakeServerPresence()) IsServer = false;
  const std::string queue = QueueFileName();
  std::optional<double> age = FileAgeSeconds(queue);
  if (age && *age > kStaleSeconds && !ServerPresent()) {
    DeleteFile(queue);
    SleepMs(Flavour.StaleQueuePauseMs);
  }
  if (Flavour.CleansWorkFiles && !FileExists(queue)) DeleteLeftovers();
  if (IsServer) CreateQueue(data);
}

// Deletes the request and answer files of clients that are gone. Files of a
// live client (one that is still writing its request, or waiting) stay.
void TServerQueue::DeleteLeftovers() { DeleteFilesOfGoneClients(kYoungFileSeconds); }

bool TServerQueue::CreateQueue(TServerData& data) {
  const std::string queue = QueueFileName();
  TFile file;
  if (!OpenWithRetry(file, queue, FileAccess::ReadWrite, FileShare::Exclusive,
                     FileCreate::OpenPrivate, kQueueAttempts, kQueueSlowPauseMs)) {
    WriteErrorLog("Can not create file " + queue);
    return false;
  }
  // Clients that found no server may have queued already: their waiting
  // entries stay, with their request files. Taken entries belong to a server
  // that is gone.
  std::vector<TQueueEntry> waiting;
  for (TQueueEntry& entry : DecodeEntries(ReadAll(file)))
    if (entry.EntryState == EntryWaiting && IsSoundEntry(entry))
      waiting.push_back(std::move(entry));
  if (!WriteEntries(file, waiting)) {
    WriteErrorLog("Can not create file " + queue);
    return false;
  }
  data.QueueOwner = true;
  if (Flavour.CleansWorkFiles) DeleteLeftovers();  // under the lock: nobody queues meanwhile
  return true;
}

bool TServerQueue::QueueRequest(TServerData& data) {
  if (Flavour.MayQueue && !Flavour.MayQueue()) return false;
  const std::string queue = QueueFileName();
  if (!FileExists(queue)) return false;
  const std::string name = Flavour.PrepareRequest();
  if (name.empty() || !FitsEntryFile(name)) return false;
  data.QueueOwner = false;
  TFile file;
  if (!OpenWithRetry(file, queue, Flavour.QueueAppendAccess, FileShare::Exclusive,
                     FileCreate::OpenExisting, kQueueAttempts, kQueuePauseMs))
    return false;
  TQueueEntry entry;
  entry.EntryState = EntryWaiting;
  entry.EntryTime = Now();
  entry.EntryFile = name;
  const TEntryBytes bytes = EncodeEntry(entry);
  if (!file.SeekEnd() || !file.Write(bytes.data(), bytes.size())) return false;
  file.Touch();
  data.QueuedName = name;
  return true;
}

int TServerQueue::GetRequestState(const TServerData& data) {
  const std::string queue = QueueFileName();
  if (!FileExists(queue)) return QueueMissing;
  TFile file;
  if (!OpenWithRetry(file, queue, FileAccess::Read, FileShare::Exclusive, FileCreate::OpenExisting,
                     kQueueAttempts, kQueueSlowPauseMs)) {
    std::optional<double> age = FileAgeSeconds(queue);
    if (!age) return QueueMissing;
    if (*age > kStaleSeconds) DeleteFile(queue);
    return QueueUnopenable;
  }
  for (const TQueueEntry& entry : DecodeEntries(ReadAll(file)))
    if (entry.EntryFile == data.QueuedName) return entry.EntryState;
  return EntryFinished;
}

bool TServerQueue::QueueIsStale(double ageAtStart, double waitedSeconds) const {
  if (!Flavour.QueueAgeReadEachPass) return ageAtStart + waitedSeconds > kStaleSeconds;
  std::optional<double> age = FileAgeSeconds(QueueFileName());
  return age && *age > kStaleSeconds;
}

void TServerQueue::AbortWait() {
  DeleteFile(QueueFileName());
  if (Flavour.AbortDeletesRequestFile && Flavour.DeleteRequestFile) Flavour.DeleteRequestFile();
  TerminateProgram();
  Halt(0);  // in a library TerminateProgram returns; a client is never one
}

bool TServerQueue::WithdrawRequest(TServerData& data) {
  const std::string queue = QueueFileName();
  TFile file;
  if (FileExists(queue) && OpenWithRetry(file, queue, FileAccess::ReadWrite, FileShare::Exclusive,
                                         FileCreate::OpenExisting, kQueueAttempts, kQueuePauseMs)) {
    std::vector<TQueueEntry> rest;
    for (TQueueEntry& entry : DecodeEntries(ReadAll(file))) {
      if (entry.EntryFile != data.QueuedName) {
        rest.push_back(std::move(entry));
      } else if (entry.EntryState != EntryWaiting) {
        return false;  // the server has it
      }
    }
    WriteEntries(file, rest);
  }
  return FileExists(data.QueuedName);
}

// What a waiting client watches: its own request file, which the server
// deletes right after it has finished the entry, so that a client wakes for
// its own answer only and not for every change that other clients and the
// server make to the queue (each wake reads the queue under its lock). An
// entry that names no request file of ours (a Windows CGI profile) watches
// the queue file. The poll every kClientTickMs sees everything else: a
// server that went, a stale queue, an entry finished without an answer.
namespace {

std::string WatchedForAnswer(const TServerData& data) {
  return EndsWithReq(data.QueuedName) ? data.QueuedName : TServerQueue::QueueFileName();
}

}  // namespace

bool TServerQueue::WaitForAnswer(TServerData& data) {
  const auto start = std::chrono::steady_clock::now();
  const double ageAtStart = FileAgeSeconds(QueueFileName()).value_or(0);
  TQueueWaiter waiter(WatchedForAnswer(data));
  // The request was queued a moment ago and a server is taking it: the first
  // look waits until its request file goes (or a tick passes), so that the
  // client does not read the queue while the server holds it. A file gone
  // already was answered before the watch began.
  if (EndsWithReq(data.QueuedName) && FileExists(data.QueuedName)) waiter.Wait(kClientTickMs);
  bool taken = false;
  while (Seconds(start) < kLongestWaitSeconds) {
    if (waiter.Pump()) {  // SIGTERM and the like: the web server gave up on the hit
      WriteErrorLog("Told to end while waiting for the answer to request " + data.QueuedName);
      break;
    }
    const int state = GetRequestState(data);
    // An answered request needs no look at the server.
    const bool found = state == EntryFinished || ServerPresent();
    taken = taken || state == EntryTaken;
    // A server that was there and went, or that never came, will not answer.
    const bool noServer = !found && (ServerWindowSeen || Seconds(start) > kServerStartSeconds);
    if (state != EntryFinished && (noServer || QueueIsStale(ageAtStart, Seconds(start)))) {
      // A request that no server took is still whole: served here.
      if (!taken && WithdrawRequest(data)) return false;
      WriteErrorLog(std::string(found ? "The queue went stale" : "The resident server went") +
                    " while it had request " + data.QueuedName + ": not answered");
      AbortWait();
    }
    if (Flavour.UpdatesServerWindowSeen) ServerWindowSeen = ServerWindowSeen || found;
    if (state == EntryFinished) {
      if (!Flavour.RelayAnswer || Flavour.RelayAnswer()) break;
      // The entry went without an answer: the server could not write one and
      // left the request, or someone rewrote the queue file.
      if (FileExists(data.QueuedName)) return false;
      WriteErrorLog("Request " + data.QueuedName + " left the queue without an answer");
      break;
    }
    // A queue that stays locked through every retry is busy (many clients
    // polling, a slow file system), not gone: the wait goes on, bounded by
    // the longest wait and by the stale-queue rule above.
    if (state == QueueMissing) {
      if (!taken && FileExists(data.QueuedName)) return false;
      if (Flavour.LogsServerAborted) WriteErrorLog("CGI server aborted");
      break;
    }
    waiter.Wait(kClientTickMs);
  }
  if (Seconds(start) >= kLongestWaitSeconds)
    WriteErrorLog("No answer to request " + data.QueuedName + " within " +
                  std::to_string(static_cast<int>(kLongestWaitSeconds)) + " seconds");
  TerminateProgram();
  Halt(0);
}

// An entry that names what a server of this folder can serve: a request file
// of one of its clients, or an absolute profile name. Anything else (a torn
// write, bytes that were never an entry) is dropped with a log line.
bool TServerQueue::IsSoundEntry(const TQueueEntry& entry) {
  if (entry.EntryState > EntryFinished || entry.EntryFile.empty()) return false;
  for (unsigned char c : entry.EntryFile)
    if (c < 0x20) return false;
  if (!EndsWithReq(entry.EntryFile)) return HostPathStyle().isAbsolute(entry.EntryFile);
  const std::string clients = GetServerFilePrefix() + "_C_";
  const std::string rest = entry.EntryFile.substr(std::min(clients.size(), entry.EntryFile.size()));
  return entry.EntryFile.compare(0, clients.size(), clients) == 0 &&
         rest.find(HostPathStyle().delimiter) == std::string::npos &&
         rest.find('/') == std::string::npos;
}

// Drops unsound entries and the waiting entries of clients that are gone at
// the front of the queue (deleting their files); true when any went.
bool TServerQueue::DropDeadEntries(std::vector<TQueueEntry>& entries) {
  const size_t before = entries.size();
  std::vector<TQueueEntry> kept;
  // Clients are asked whether they live up to the first live one that this
  // server would take: the entries behind it are asked when they come to
  // the front, so a take costs one question, not one per waiting client.
  bool frontFound = false;
  for (TQueueEntry& entry : entries) {
    if (!IsSoundEntry(entry)) {
      WriteErrorLog("Queue entry dropped, it names no request of this server: " +
                    entry.EntryFile.substr(0, 64));
      continue;
    }
    if (!frontFound && entry.EntryState == EntryWaiting && EndsWithReq(entry.EntryFile)) {
      if (ClientGone(entry.EntryFile)) {
        const std::string base = entry.EntryFile.substr(0, entry.EntryFile.size() - 3);
        for (const char* kind : {"REQ", "OUT", "LCK"}) DeleteFile(base + kind);
        continue;
      }
      frontFound = Flavour.TakesReqEntries;
    }
    kept.push_back(std::move(entry));
  }
  entries = std::move(kept);
  return entries.size() != before;
}

bool TServerQueue::TakeNextRequest(TQueueEntry& entry) {
  const std::string queue = QueueFileName();
  if (!FileExists(queue)) return false;
  TFile file;
  if (!OpenWithRetry(file, queue, FileAccess::ReadWrite, FileShare::Exclusive,
                     FileCreate::OpenExisting, kQueueAttempts, kQueueSlowPauseMs))
    return false;
  const std::string content = ReadAll(file);
  std::vector<TQueueEntry> entries = DecodeEntries(content);
  const bool dropped = DropDeadEntries(entries);
  if (dropped || content.size() % kQueueEntrySize != 0) WriteEntries(file, entries);
  // The other gateway's entries stay for its server; this one goes on polling.
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].EntryState != EntryWaiting) continue;
    if (EndsWithReq(entries[i].EntryFile) != Flavour.TakesReqEntries) continue;
    entry = entries[i];
    const char taken = static_cast<char>(EntryTaken);
    file.Seek(static_cast<int64_t>(i * kQueueEntrySize));
    file.Write(&taken, 1);
    return true;
  }
  file.Touch();  // the heartbeat: nothing to do, but alive
  return false;
}

bool TServerQueue::FinishQueuedRequest(const std::string& name, bool answered) {
  const std::string queue = QueueFileName();
  if (!FileExists(queue)) return true;
  // The file stays locked from the read to the end of the rewrite, so an
  // entry appended meanwhile cannot be lost; a queue that cannot be read is
  // left as it is.
  TFile file;
  const bool opened = OpenWithRetry(file, queue, FileAccess::ReadWrite, FileShare::Exclusive,
                                    FileCreate::OpenExisting, kQueueAttempts, kQueuePauseMs);
  if (opened) {
    std::vector<TQueueEntry> rest;
    for (TQueueEntry& entry : DecodeEntries(ReadAll(file)))
      if (entry.EntryFile != name && entry.EntryState < EntryFinished)
        rest.push_back(std::move(entry));
    WriteEntries(file, rest);
    // Unlocked before the request file goes: its client wakes at that and
    // reads the queue at once.
    file.Close();
  }
  if (Flavour.DeletesRequestFileAfterServing && answered) DeleteFile(name);
  // A client that went while its request was served leaves an answer that
  // nobody relays.
  if (EndsWithReq(name) && ClientGone(name)) {
    const std::string base = name.substr(0, name.size() - 3);
    DeleteFile(base + "OUT");
    DeleteFile(base + "LCK");
  }
  return opened || !FileExists(queue);
}

bool TServerQueue::HandOver(TServerData& data) {
  const std::string queue = QueueFileName();
  if (Flavour.CreateQueueBeforeStart && !FileExists(queue)) {
    TFile created;
    created.Open(queue, FileAccess::Write, FileShare::DenyNone, FileCreate::OpenPrivate);
  }
  // One server per folder: a client starts one only when none is there.
  if (!ServerPresent() &&
      !StartDetachedProcess(ExecutableFileName(), Flavour.ServerStartArguments,
                            Flavour.ServerEnvironment ? Flavour.ServerEnvironment()
                                                      : ServerEnvironment(EnvironmentBlock()))) {
    WriteErrorLog("Can not start the resident server " + ExecutableFileName());
    return false;
  }
  TQueueWaiter waiter(queue);
  for (int attempt = 0; attempt < Flavour.QueueAttemptsAfterStart; ++attempt) {
    // The pause is an upper bound: a queue file that exists can take the
    // entry at once, and one that appears wakes the wait.
    if (attempt > 0 || !FileExists(queue)) waiter.Wait(Flavour.QueueAttemptPauseMs);
    if (waiter.Closed()) {  // told to end while the server starts: end, unanswered
      TerminateProgram();
      Halt(0);
    }
    if (QueueRequest(data)) return WaitForAnswer(data);
  }
  return false;
}

void TServerQueue::SweepGoneClients() {
  if (!Flavour.CleansWorkFiles) return;
  static const auto epoch = std::chrono::steady_clock::now();
  const double now = Seconds(epoch);
  if (now - lastSweep_ < kSweepSeconds) return;
  lastSweep_ = now;
  DeleteFilesOfGoneClients(kYoungFileSeconds);
}

void TServerQueue::ProgramEnd(TServerData& data) {
  if (IsServer && Flavour.CleansWorkFiles) DeleteLeftovers();
  if (data.QueueOwner) DeleteFile(QueueFileName());
  data.QueueOwner = false;
}

// SERVER_SOFTWARE stays: it names the web server, not the request, and it is
// what makes the copy choose the standard gateway.
std::vector<std::string> ServerEnvironment(const std::vector<std::string>& environment) {
  static const std::set<std::string> request = {
      "AUTH_TYPE",   "CONTENT_LENGTH",  "CONTENT_TYPE",  "GATEWAY_INTERFACE",
      "PATH_INFO",   "PATH_TRANSLATED", "QUERY_STRING",  "REMOTE_ADDR",
      "REMOTE_HOST", "REMOTE_IDENT",    "REMOTE_USER",   "REQUEST_METHOD",
      "SCRIPT_NAME", "SERVER_NAME",     "SERVER_PORT",   "SERVER_PROTOCOL",
      "REQUEST_URI", "SCRIPT_FILENAME", "DOCUMENT_ROOT", "REDIRECT_STATUS",
      "REMOTE_PORT", "SERVER_ADDR",     "HTTPS",         "CGI_VERSION"};
  std::vector<std::string> kept;
  for (const std::string& variable : environment) {
    const std::string name = variable.substr(0, variable.find('='));
    if (request.count(name) || name.rfind("HTTP_", 0) == 0) continue;
    kept.push_back(variable);
  }
  return kept;
}

std::string MakeRequestId() {
  const auto stamp = static_cast<uint64_t>(Now() * 1000) % 100000;
  const uint64_t id = stamp * 65535 + CurrentProcessId();
  char text[24];
  std::snprintf(text, sizeof text, "%03llX", static_cast<unsigned long long>(id));
  return text;
}

}  // namespace pithorama
