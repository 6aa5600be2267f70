#include "pithorama/gateways/resident/CgiQueue.h"

#include <chrono>
#include <cstdio>
#include <set>

#include "pithorama/engine/HttpEng.h"
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
  return file.Seek(0) && file.Truncate(0) && file.Write(bytes) && file.Touch();
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The client's waiting room: a hidden window that wakes when the queue file
// changes and is told to close by SIGTERM, SIGINT and SIGHUP.
class TQueueWaiter {
 public:
  TQueueWaiter() {
    window_ = CreateMessageWindow([this](unsigned message, uintptr_t, intptr_t) -> intptr_t {
      if (message == WmClose) closed_ = true;
      return 0;
    });
    PostCloseOnTermination(window_);
    watch_.Start(TServerQueue::QueueFileName(), window_, WmQueueChanged);
  }
  ~TQueueWaiter() { DestroyMessageWindow(window_); }
  TQueueWaiter(const TQueueWaiter&) = delete;
  TQueueWaiter& operator=(const TQueueWaiter&) = delete;

  // Delivers what is due; true when a close was asked for.
  bool Pump() {
    DispatchMessages();
    return closed_;
  }
  // Waits up to `ms`, less when the queue file changes or a signal arrives.
  void Wait(int ms) {
    WaitForMessage(ms);
    DispatchMessages();
  }
  bool Closed() const { return closed_; }

 private:
  TWindow window_ = 0;
  TFileWatch watch_;
  bool closed_ = false;
};

}  // namespace

const std::string& TServerQueue::GetServerFilePrefix() {
  static const std::string prefix = [] {
    const std::string exe = ExecutableFileName();
    std::string folder = ExtractFilePath(exe);
    if (!folder.empty() && folder.back() == HostPathStyle().delimiter) folder.pop_back();
    const std::string temp = folder + HostPathStyle().delimiter + "Temp";
    // The work folder holds whole requests (cookies, credentials): owner only.
    if (DirectoryExists(temp) || CreatePrivateDir(temp) || DirectoryExists(temp)) folder = temp;
    return folder + HostPathStyle().delimiter + ExtractFileName(exe);
  }();
  return prefix;
}

std::string TServerQueue::ServerTitle() { return ExtractFileName(ExecutableFileName()) + "_S"; }

void TServerQueue::ProgramStart(TServerData& data) {
  const std::string queue = QueueFileName();
  std::optional<double> age = FileAgeSeconds(queue);
  if (age && *age > kStaleSeconds && !WindowTitleExists(ServerTitle())) {
    DeleteFile(queue);
    SleepMs(Flavour.StaleQueuePauseMs);
  }
  if (Flavour.CleansWorkFiles && !FileExists(queue)) DeleteLeftovers({});
  if (IsServer) CreateQueue(data);
}

// Deletes request and answer files one at a time, sparing `keep`, and stops
// at the first that cannot be deleted.
void TServerQueue::DeleteLeftovers(const std::vector<std::string>& keep) {
  const std::string prefix = GetServerFilePrefix();
  const std::set<std::string> spared(keep.begin(), keep.end());
  const std::string folder = ExtractFilePath(prefix);
  for (const std::string& path :
       ListFiles(folder.substr(0, folder.size() - 1), ExtractFileName(prefix) + "_C_")) {
    if (spared.count(path)) continue;
    if (!DeleteFile(path)) break;
  }
}

bool TServerQueue::CreateQueue(TServerData& data) {
  const std::string queue = QueueFileName();
  TFile file;
  if (!OpenWithRetry(file, queue, FileAccess::ReadWrite, FileShare::Exclusive,
                     FileCreate::OpenAlways, kQueueAttempts, kQueueSlowPauseMs)) {
    WriteErrorLog("Can not create file " + queue);
    return false;
  }
  // Clients that found no server may have queued already: their waiting
  // entries stay, with their request files. Taken entries belong to a server
  // that is gone.
  std::vector<TQueueEntry> waiting;
  std::vector<std::string> keep;
  for (TQueueEntry& entry : DecodeEntries(ReadAll(file)))
    if (entry.EntryState == EntryWaiting) {
      keep.push_back(entry.EntryFile);
      waiting.push_back(std::move(entry));
    }
  if (!WriteEntries(file, waiting)) {
    WriteErrorLog("Can not create file " + queue);
    return false;
  }
  data.QueueOwner = true;
  if (Flavour.CleansWorkFiles) DeleteLeftovers(keep);  // under the lock: nobody queues meanwhile
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

void TServerQueue::WaitForAnswer(TServerData& data) {
  const auto start = std::chrono::steady_clock::now();
  const double ageAtStart = FileAgeSeconds(QueueFileName()).value_or(0);
  const std::string title = ServerTitle();
  TQueueWaiter waiter;
  while (Seconds(start) < kLongestWaitSeconds) {
    if (waiter.Pump()) break;
    const bool found = WindowTitleExists(title);
    if (!found && ServerWindowSeen) AbortWait();
    const int state = GetRequestState(data);
    if (state != EntryFinished && QueueIsStale(ageAtStart, Seconds(start))) AbortWait();
    if (Flavour.UpdatesServerWindowSeen) ServerWindowSeen = ServerWindowSeen || found;
    if (state == EntryFinished) {
      if (Flavour.RelayAnswer) Flavour.RelayAnswer();
      break;
    }
    // A queue that stays locked through every retry is busy (many clients
    // polling, a slow file system), not gone: the wait goes on, bounded by
    // the longest wait and by the stale-queue rule above.
    if (state == QueueMissing) {
      if (Flavour.LogsServerAborted) WriteErrorLog("CGI server aborted");
      break;
    }
    waiter.Wait(kClientTickMs);
  }
  TerminateProgram();
  Halt(0);
}

bool TServerQueue::TakeNextRequest(TQueueEntry& entry) {
  const std::string queue = QueueFileName();
  if (!FileExists(queue)) return false;
  TFile file;
  if (!OpenWithRetry(file, queue, FileAccess::ReadWrite, FileShare::Exclusive,
                     FileCreate::OpenExisting, kQueueAttempts, kQueueSlowPauseMs))
    return false;
  const std::vector<TQueueEntry> entries = DecodeEntries(ReadAll(file));
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].EntryState != EntryWaiting) continue;
    entry = entries[i];
    if (EndsWithReq(entry.EntryFile) == Flavour.TakesReqEntries) {
      const char taken = static_cast<char>(EntryTaken);
      file.Seek(static_cast<int64_t>(i * kQueueEntrySize));
      file.Write(&taken, 1);
    }
    return true;
  }
  file.Touch();  // the heartbeat: nothing to do, but alive
  return false;
}

bool TServerQueue::FinishQueuedRequest(const std::string& name) {
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
  }
  if (Flavour.DeletesRequestFileAfterServing) DeleteFile(name);
  return opened || !FileExists(queue);
}

bool TServerQueue::HandOver(TServerData& data) {
  const std::string queue = QueueFileName();
  if (Flavour.CreateQueueBeforeStart && !FileExists(queue)) {
    TFile created;
    created.Open(queue, FileAccess::Write, FileShare::DenyNone, FileCreate::OpenAlways);
  }
  StartDetachedProcess(ExecutableFileName(), Flavour.ServerStartArguments,
                       Flavour.ServerEnvironment ? Flavour.ServerEnvironment()
                                                 : ServerEnvironment(EnvironmentBlock()));
  TQueueWaiter waiter;
  for (int attempt = 0; attempt < Flavour.QueueAttemptsAfterStart; ++attempt) {
    // The pause is an upper bound: a queue file that exists can take the
    // entry at once, and one that appears wakes the wait.
    if (attempt > 0 || !FileExists(queue)) waiter.Wait(Flavour.QueueAttemptPauseMs);
    if (waiter.Closed()) {  // told to end while the server starts: end, unanswered
      TerminateProgram();
      Halt(0);
    }
    if (QueueRequest(data)) WaitForAnswer(data);
  }
  return false;
}

void TServerQueue::ProgramEnd(TServerData& data) {
  if (IsServer && Flavour.CleansWorkFiles) DeleteLeftovers({});
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
