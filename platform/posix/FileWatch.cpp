// The watch is an inotify descriptor with one watch at a time: on the file
// itself while it exists (its writes, its deletion, its move), and on its
// folder while it does not (the file's creation, by name). A folder watch
// would wake the watcher for every file of the folder: a resident server's
// work folder changes a dozen times for each request (the client's lock and
// request files, the answer file, their deletion), and each wake-up costs a
// context switch that the client waiting for its answer pays on a busy
// machine. IN_CLOSE_WRITE is left out on purpose: every open for writing
// gives one, even without a write, and a watcher that opens the file itself
// would wake itself for ever. A change of the file's attributes (IN_ATTRIB)
// counts only when its name no longer leads to it: a delete or a rename over
// it while another process holds it open says so at once by its link count,
// and its own deletion event comes only when the last holder closes it. A
// touch is no change.
#include "pithorama/platform/FileWatch.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "pithorama/platform/Paths.h"
#include "pithorama/platform/posix/SocketWatch.h"

namespace pithorama {

namespace {

constexpr uint32_t kFileChanges =
    IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW;
constexpr uint32_t kFolderChanges = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;

struct Watch {
  int handle = -1;
  std::string path;
  std::string folder;
  std::string name;
  int fileWatch = -1;
  int folderWatch = -1;
  // The watched file, to tell its deletion or replacement from a touch.
  dev_t device = 0;
  ino_t inode = 0;

  // Watches the file when it exists, else its folder for its creation. True
  // when the file turned up while the watches were being changed.
  bool Arm() {
    if (fileWatch >= 0) return false;
    if (WatchFile()) return false;
    if (folderWatch < 0) folderWatch = ::inotify_add_watch(handle, folder.c_str(), kFolderChanges);
    // Made between the two calls: no creation event will tell of it.
    return WatchFile();
  }

  bool WatchFile() {
    // Recorded first: a file replaced in between then looks replaced at its
    // next touch (one needless wake-up), never the other way round.
    RecordFile();
    fileWatch = ::inotify_add_watch(handle, path.c_str(), kFileChanges);
    if (fileWatch < 0) return false;
    DropFolderWatch();
    return true;
  }

  void RecordFile() {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    device = info.st_dev;
    inode = info.st_ino;
  }

  // The name no longer leads to the watched file.
  bool FileLeftItsName() const {
    struct stat info {};
    return ::lstat(path.c_str(), &info) != 0 || info.st_dev != device || info.st_ino != inode;
  }

  void DropFileWatch() {
    if (fileWatch >= 0) ::inotify_rm_watch(handle, fileWatch);
    fileWatch = -1;
  }

  void DropFolderWatch() {
    if (folderWatch >= 0) ::inotify_rm_watch(handle, folderWatch);
    folderWatch = -1;
  }

  // Reads every queued event; true when one of them is a change of the file.
  bool DrainEvents() {
    alignas(inotify_event) char buffer[4096];
    bool changed = false;
    for (;;) {
      ssize_t got = ::read(handle, buffer, sizeof buffer);
      if (got <= 0) break;
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (event->mask & IN_Q_OVERFLOW) {  // events were lost: look anyway
          changed = true;
        } else if (event->wd == fileWatch && fileWatch >= 0) {
          if (event->mask & IN_IGNORED) {  // the watch went with the file
            fileWatch = -1;
            changed = true;
          } else if (event->mask & IN_MODIFY) {
            changed = true;
          } else if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) || FileLeftItsName()) {
            // Gone, moved away or replaced: its name is watched afresh.
            DropFileWatch();
            changed = true;
          }
        } else if (event->wd == folderWatch && event->len > 0 && name == event->name) {
          changed = true;
        }
      }
    }
    return Arm() || changed;
  }
};

}  // namespace

TFileWatch::~TFileWatch() { Stop(); }

bool TFileWatch::Start(const std::string& path, TWindow window, unsigned message) {
  Stop();
  auto watch = std::make_shared<Watch>();
  watch->path = path;
  watch->folder = ExtractFilePath(path);
  if (watch->folder.empty()) watch->folder = "./";
  watch->name = ExtractFileName(path);
  handle_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (handle_ < 0) return false;
  watch->handle = handle_;
  watch->Arm();
  bool watching = (watch->fileWatch >= 0 || watch->folderWatch >= 0) &&
                  posix::WatchReadable(handle_, window, [watch, window, message] {
                    if (watch->DrainEvents()) PostMessage(window, message, 0, 0);
                  });
  if (!watching) Stop();
  return watching;
}

void TFileWatch::Stop() {
  if (handle_ < 0) return;
  posix::ForgetReadable(handle_);
  ::close(handle_);
  handle_ = -1;
}

}  // namespace pithorama
