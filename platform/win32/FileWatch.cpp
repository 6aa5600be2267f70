// The watch is a ReadDirectoryChangesW on the file's folder, so that it lives
// on when the file is deleted and made anew, and so that changes to other
// names of the folder can be told apart and dropped. The read is overlapped
// and its event is waited for by the owning thread's queue (WatchEvent): the
// thread wakes from WaitForMessage, and its pump reads the names and posts
// the message. Only name and size changes count: a change of the times alone
// (a touch) is no change of the content.
#include "pithorama/platform/FileWatch.h"

#define WIN32_LEAN_AND_MEAN  // <windows.h> without the old winsock.h
#include <windows.h>
#undef DeleteFile
#undef PostMessage

#include <memory>
#include <mutex>
#include <unordered_map>

#include "pithorama/platform/win32/SocketWatch.h"

namespace pithorama {
namespace {

constexpr DWORD kChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE;

// One watch. It is shared with the handler that the queue runs, and lives
// until both the TFileWatch and the handler have let it go.
struct Watch {
  ~Watch() {
    if (pending) {
      CancelIoEx(folder, &overlapped);
      DWORD ignored;
      GetOverlappedResult(folder, &overlapped, &ignored, TRUE);  // the buffer is ours again
    }
    if (event != nullptr) CloseHandle(event);
    if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
  }
  HANDLE folder = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  OVERLAPPED overlapped{};
  bool pending = false;
  alignas(DWORD) char buffer[16384];
  std::wstring name;
  TWindow window = 0;
  unsigned message = 0;
};

// TFileWatch keeps a number; the watches live here.
std::mutex gLock;
std::unordered_map<int, std::shared_ptr<Watch>> gWatches;
int gNextHandle = 0;

std::wstring Wide(const std::string& text) {
  int length =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

bool Arm(Watch& watch) {
  ResetEvent(watch.event);
  watch.overlapped = OVERLAPPED{};
  watch.overlapped.hEvent = watch.event;
  watch.pending = ReadDirectoryChangesW(watch.folder, watch.buffer, sizeof watch.buffer, FALSE,
                                        kChanges, nullptr, &watch.overlapped, nullptr) != 0;
  return watch.pending;
}

// True when one of the changes read names the watched file (names compare
// without regard to case, as Windows file names do).
bool NamesTheFile(const Watch& watch, DWORD length) {
  for (DWORD at = 0; at < length;) {
    const auto* change = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(watch.buffer + at);
    int nameLength = static_cast<int>(change->FileNameLength / sizeof(WCHAR));
    if (CompareStringOrdinal(change->FileName, nameLength, watch.name.data(),
                             static_cast<int>(watch.name.size()), TRUE) == CSTR_EQUAL)
      return true;
    if (change->NextEntryOffset == 0) break;
    at += change->NextEntryOffset;
  }
  return false;
}

// Runs on the owning thread when the read completed.
void OnChanges(Watch& watch) {
  DWORD length = 0;
  if (!GetOverlappedResult(watch.folder, &watch.overlapped, &length, FALSE) &&
      GetLastError() == ERROR_IO_INCOMPLETE)
    return;
  watch.pending = false;
  // Nothing read means the system's buffer overflowed: changes were lost, so look anyway.
  bool changed = length == 0 || NamesTheFile(watch, length);
  if (!Arm(watch)) win32::ForgetEvent(watch.event);  // the folder is gone: polling alone
  if (changed) PostMessage(watch.window, watch.message, 0, 0);
}

}  // namespace

TFileWatch::~TFileWatch() { Stop(); }

bool TFileWatch::Start(const std::string& path, TWindow window, unsigned message) {
  Stop();
  const size_t slash = path.find_last_of("\\/");
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  auto watch = std::make_shared<Watch>();
  watch->name = Wide(slash == std::string::npos ? path : path.substr(slash + 1));
  watch->window = window;
  watch->message = message;
  watch->folder = CreateFileA(
      folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  watch->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (watch->folder == INVALID_HANDLE_VALUE || watch->event == nullptr || !Arm(*watch) ||
      !win32::WatchEvent(watch->event, window, [watch] { OnChanges(*watch); }))
    return false;
  std::lock_guard<std::mutex> hold(gLock);
  handle_ = gNextHandle++;
  gWatches[handle_] = std::move(watch);
  return true;
}

void TFileWatch::Stop() {
  if (handle_ < 0) return;
  std::shared_ptr<Watch> watch;
  {
    std::lock_guard<std::mutex> hold(gLock);
    auto it = gWatches.find(handle_);
    if (it != gWatches.end()) {
      watch = std::move(it->second);
      gWatches.erase(it);
    }
  }
  handle_ = -1;
  if (watch) win32::ForgetEvent(watch->event);  // the handler's hold on the watch goes with it
}

}  // namespace pithorama
