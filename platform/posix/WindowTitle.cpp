// A title is an exclusive lock on a file named after it in a per-user runtime
// folder: /run/user/<uid> when the system keeps one, else
// /tmp/pithorama-windows-<uid>, made by and for the user alone. The folder is
// chosen from the user id only, never from the environment, so a program
// started by a web server and one started by hand find the same titles.
#include "pithorama/platform/WindowTitle.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace pithorama {

namespace {

bool IsOwnPrivateFolder(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid() &&
         (info.st_mode & 077) == 0;
}

std::string RuntimeFolder() {
  const std::string run = "/run/user/" + std::to_string(::getuid());
  if (IsOwnPrivateFolder(run)) return run;
  const std::string own = "/tmp/pithorama-windows-" + std::to_string(::getuid());
  ::mkdir(own.c_str(), 0700);
  return IsOwnPrivateFolder(own) ? own : std::string();
}

// The lock file of a title; bytes other than letters, digits, "-" and "."
// are written as %XX so that any title gives one plain file name.
std::string TitleFile(const std::string& title) {
  const std::string folder = RuntimeFolder();
  if (folder.empty()) return {};
  std::string name = "window-";
  for (unsigned char c : title) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '.';
    if (plain) {
      name += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      name += escaped;
    }
  }
  return folder + "/" + name;
}

}  // namespace

bool TWindowTitle::Set(const std::string& title) {
  Clear();
  const std::string path = TitleFile(title);
  if (path.empty()) return false;
  return lock_.Open(path, FileAccess::ReadWrite, FileShare::Exclusive, FileCreate::OpenAlways);
}

void TWindowTitle::Clear() { lock_.Close(); }

bool WindowTitleExists(const std::string& title) {
  const std::string path = TitleFile(title);
  if (path.empty()) return false;
  TFile probe;
  if (probe.Open(path, FileAccess::Read, FileShare::Exclusive, FileCreate::OpenExisting))
    return false;  // nobody holds it: the window is gone
  return probe.LastError() == EACCES;
}

}  // namespace pithorama
