#include "pithorama/platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace pithorama {

// The descriptor that a TFile keeps in its handle.
static int Fd(intptr_t handle) { return static_cast<int>(handle); }

TFile::~TFile() { Close(); }

TFile::TFile(TFile&& other) noexcept
    : handle_(other.handle_),
      ownsHandle_(other.ownsHandle_),
      appends_(other.appends_),
      lastError_(other.lastError_) {
  other.handle_ = -1;
}

TFile& TFile::operator=(TFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    ownsHandle_ = other.ownsHandle_;
    appends_ = other.appends_;
    lastError_ = other.lastError_;
    other.handle_ = -1;
  }
  return *this;
}

static int OpenFlags(FileAccess access, FileCreate create) {
  int flags = O_CLOEXEC;
  switch (access) {
    case FileAccess::Read:
      flags |= O_RDONLY;
      break;
    case FileAccess::Write:
      flags |= O_WRONLY;
      break;
    case FileAccess::ReadWrite:
      flags |= O_RDWR;
      break;
  }
  switch (create) {
    case FileCreate::OpenExisting:
      break;
    case FileCreate::OpenAlways:
      flags |= O_CREAT;
      break;
    // Truncation waits until the sharing lock is held (see Open).
    case FileCreate::CreateAlways:
      flags |= O_CREAT;
      break;
    case FileCreate::CreateNew:
      flags |= O_CREAT | O_EXCL | O_NOFOLLOW;
      break;
    case FileCreate::CreatePrivate:
      flags |= O_CREAT | O_NOFOLLOW;
      break;
    case FileCreate::OpenPrivate:
      flags |= O_CREAT | O_NOFOLLOW;
      break;
  }
  return flags;
}

bool TFile::Open(const std::string& path, FileAccess access, FileShare share, FileCreate create) {
  Close();
  const bool ownerOnly = create == FileCreate::CreateNew || create == FileCreate::CreatePrivate ||
                         create == FileCreate::OpenPrivate;
  mode_t mode = ownerOnly ? 0600 : 0666;
  int fd = ::open(path.c_str(), OpenFlags(access, create), mode);
  if (fd < 0) {
    lastError_ = errno;
    return false;
  }
  if (share != FileShare::DenyNone && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    lastError_ = errno == EWOULDBLOCK ? EACCES : errno;
    ::close(fd);
    return false;
  }
  // An empty file (most often one this open has just made) is left alone: a
  // truncation to zero makes ext4 write the file's data out when it is
  // closed (its rule for files replaced by truncation), and a later delete
  // of the file then waits for the disk. A resident request's answer file
  // paid that at every hit, about 0.2 ms of the client's delete.
  const bool truncate = create == FileCreate::CreateAlways || create == FileCreate::CreatePrivate;
  struct stat info;
  if (truncate && (::fstat(fd, &info) != 0 || info.st_size != 0) && ::ftruncate(fd, 0) != 0) {
    lastError_ = errno;
    ::close(fd);
    return false;
  }
  handle_ = fd;
  ownsHandle_ = true;
  lastError_ = 0;
  return true;
}

bool TFile::OpenAppend(const std::string& path) {
  Close();
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) {
    lastError_ = errno;
    return false;
  }
  handle_ = fd;
  ownsHandle_ = true;
  lastError_ = 0;
  return true;
}

bool TFile::CreateUnique(const std::string& pathPrefix, std::string& path) {
  Close();
  std::string name = pathPrefix + "XXXXXX";
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    lastError_ = errno;
    return false;
  }
  // mkostemp makes the file private; derived data is for every reader.
  if (::fchmod(fd, 0644) != 0) {
    lastError_ = errno;
    ::close(fd);
    ::unlink(name.c_str());
    return false;
  }
  handle_ = fd;
  ownsHandle_ = true;
  lastError_ = 0;
  path = name;
  return true;
}

bool TFile::CreateNameless(const std::string& folder) {
  Close();
  int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0 || ::fchmod(fd, 0644) != 0) {  // the mode whatever the umask
    lastError_ = errno;
    if (fd >= 0) ::close(fd);
    return false;
  }
  handle_ = fd;
  ownsHandle_ = true;
  lastError_ = 0;
  return true;
}

bool TFile::LinkAs(const std::string& path) {
  // Linking the descriptor itself (AT_EMPTY_PATH) needs a privilege; its
  // /proc entry does not.
  const std::string self = "/proc/self/fd/" + std::to_string(Fd(handle_));
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    lastError_ = errno;
    return false;
  }
  return true;
}

int64_t TFile::Read(void* buffer, size_t count) {
  for (;;) {
    ssize_t n = ::read(Fd(handle_), buffer, count);
    if (n >= 0) return n;
    if (errno != EINTR) {
      lastError_ = errno;
      return -1;
    }
  }
}

bool TFile::Write(const void* data, size_t count) {
  const char* bytes = static_cast<const char*>(data);
  while (count > 0) {
    ssize_t n = ::write(Fd(handle_), bytes, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      lastError_ = errno;
      return false;
    }
    bytes += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool TFile::AppendWhole(std::string_view data) {
  ssize_t n;
  do n = ::write(Fd(handle_), data.data(), data.size());
  while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(data.size())) return true;
  if (n < 0) {
    lastError_ = errno;
    return false;
  }
  // With O_APPEND the offset now stands right after the bytes of this write.
  lastError_ = ENOSPC;
  const off_t end = ::lseek(Fd(handle_), 0, SEEK_CUR);
  struct stat info;
  if (end >= n && ::fstat(Fd(handle_), &info) == 0 && info.st_size == end) {
    if (::ftruncate(Fd(handle_), end - n) != 0) lastError_ = errno;
  }
  return false;
}

bool TFile::Seek(int64_t position) {
  if (::lseek(Fd(handle_), position, SEEK_SET) < 0) {
    lastError_ = errno;
    return false;
  }
  return true;
}

bool TFile::SeekEnd() {
  if (::lseek(Fd(handle_), 0, SEEK_END) < 0) {
    lastError_ = errno;
    return false;
  }
  return true;
}

int64_t TFile::Size() {
  struct stat info;
  if (::fstat(Fd(handle_), &info) != 0) {
    lastError_ = errno;
    return -1;
  }
  return info.st_size;
}

bool TFile::Truncate(int64_t size) {
  if (::ftruncate(Fd(handle_), size) != 0) {
    lastError_ = errno;
    return false;
  }
  return true;
}

bool TFile::Touch() {
  // Both times: a change of the last-write time alone is reported to file
  // watchers as a change of the content, which a touch is not.
  const struct timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
  if (::futimens(Fd(handle_), times) != 0) {
    lastError_ = errno;
    return false;
  }
  return true;
}

bool TFile::Close() {
  if (handle_ < 0) return true;
  int fd = Fd(handle_);
  handle_ = -1;
  if (!ownsHandle_) return true;
  if (::close(fd) != 0) {
    lastError_ = errno;
    return false;
  }
  return true;
}

TFile TFile::StandardInput() {
  TFile file;
  file.handle_ = STDIN_FILENO;
  file.ownsHandle_ = false;
  return file;
}

TFile TFile::StandardOutput() {
  TFile file;
  file.handle_ = STDOUT_FILENO;
  file.ownsHandle_ = false;
  return file;
}

bool FileExists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool CreateDir(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }
bool CreatePrivateDir(const std::string& path) { return ::mkdir(path.c_str(), 0700) == 0; }

bool MakeFolderPrivate(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
    return false;
  return (info.st_mode & 077) == 0 || ::chmod(path.c_str(), 0700) == 0;
}

std::optional<double> FileAgeSeconds(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec - info.st_mtim.tv_sec) +
         static_cast<double>(now.tv_nsec - info.st_mtim.tv_nsec) / 1e9;
}

std::vector<std::string> ListFiles(const std::string& folder, std::string_view namePrefix) {
  std::vector<std::string> found;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return found;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.substr(0, namePrefix.size()) == namePrefix && name != "." && name != "..")
      found.push_back(folder + "/" + std::string(name));
  }
  ::closedir(dir);
  return found;
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }
bool RenameFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool SetFileDate(const std::string& path, TDateTime localTime) {
  DateTimeParts p = DecodeDateTime(localTime);
  struct tm t {};
  t.tm_year = p.year - 1900;
  t.tm_mon = p.month - 1;
  t.tm_mday = p.day;
  t.tm_hour = p.hour;
  t.tm_min = p.minute;
  t.tm_sec = p.second;
  t.tm_isdst = -1;
  time_t seconds = ::mktime(&t);
  struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::string SystemErrorText(int errorCode) { return std::strerror(errorCode); }

bool IsFileExistsError(int errorCode) { return errorCode == EEXIST; }
// Open maps a held lock to EACCES.
bool IsSharingViolation(int errorCode) { return errorCode == EACCES; }

}  // namespace pithorama
