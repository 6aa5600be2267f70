#include "pithorama/gateways/resident/Liveness.h"

#include <map>
#include <mutex>
#include <vector>

#include "pithorama/gateways/resident/CgiQueue.h"
#include "pithorama/platform/Files.h"
#include "pithorama/platform/Paths.h"

namespace pithorama {

namespace {

std::mutex presenceLock;
TFile presence;    // the server's lock, held until the process ends
TFile clientLock;  // this client's lock, held until the process ends
std::string clientLockName;

std::string PresenceFile() { return TServerQueue::GetServerFilePrefix() + "_P"; }

// Somebody holds the lock on `path`. A missing file is held by nobody.
bool IsHeld(const std::string& path) {
  TFile probe;
  if (probe.Open(path, FileAccess::Read, FileShare::Exclusive, FileCreate::OpenExisting))
    return false;
  return IsSharingViolation(probe.LastError());
}

// prefix + "_C_" + id + "_" of a work file's name, or empty for other names.
std::string ClientBase(const std::string& path) {
  const std::string clients = TServerQueue::GetServerFilePrefix() + "_C_";
  if (path.compare(0, clients.size(), clients) != 0) return {};
  const size_t end = path.rfind('_');
  if (end == std::string::npos || end < clients.size()) return {};
  return path.substr(0, end + 1);
}

}  // namespace

bool TakeServerPresence() {
  std::lock_guard<std::mutex> hold(presenceLock);
  if (presence.IsOpen()) return true;
  return presence.Open(PresenceFile(), FileAccess::ReadWrite, FileShare::Exclusive,
                       FileCreate::OpenPrivate);
}

bool ServerPresent() {
  {
    std::lock_guard<std::mutex> hold(presenceLock);
    if (presence.IsOpen()) return true;
  }
  return IsHeld(PresenceFile());
}

bool TakeClientLock(const std::string& base) {
  if (clientLock.IsOpen()) return true;
  clientLockName = base + "LCK";
  return clientLock.Open(clientLockName, FileAccess::ReadWrite, FileShare::Exclusive,
                         FileCreate::OpenPrivate);
}

void DropClientLock() {
  if (!clientLock.IsOpen()) return;
  clientLock.Close();
  DeleteFile(clientLockName);
}

bool ClientGone(const std::string& requestFile) {
  const std::string base = ClientBase(requestFile);
  if (base.empty()) return false;  // not a client of this folder: not ours to judge
  return !IsHeld(base + "LCK");
}

int DeleteFilesOfGoneClients(double minimumAgeSeconds) {
  const std::string prefix = TServerQueue::GetServerFilePrefix();
  const std::string folder = ExtractFilePath(prefix);
  std::map<std::string, std::vector<std::string>> byClient;
  for (const std::string& path :
       ListFiles(folder.substr(0, folder.size() - 1), ExtractFileName(prefix) + "_C_")) {
    const std::string base = ClientBase(path);
    if (!base.empty()) byClient[base].push_back(path);
  }
  int deleted = 0;
  for (const auto& [base, files] : byClient) {
    if (IsHeld(base + "LCK")) continue;
    bool young = false;
    for (const std::string& path : files)
      young = young || FileAgeSeconds(path).value_or(0) < minimumAgeSeconds;
    if (young) continue;
    for (const std::string& path : files) deleted += DeleteFile(path) ? 1 : 0;
  }
  return deleted;
}

}  // namespace pithorama
