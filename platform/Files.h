// Files with sharing modes. A file opened with a mode that denies others
// anything holds an exclusive lock for as long as it is open and fails at once
// (no waiting) when another holder has one; DenyNone takes no lock. Every
// process of the system cooperates through these locks. On Windows the modes
// are the system's own share flags, which also refuse a DenyNone open that
// asks for what a holder denies; DenyNone shares deletion and renaming too.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pithorama/platform/DateTime.h"

namespace pithorama {

enum class FileAccess { Read, Write, ReadWrite };
enum class FileShare { DenyNone, DenyWrite, DenyRead, Exclusive };
enum class FileCreate {
  OpenExisting,   // fail when missing
  OpenAlways,     // create when missing
  CreateAlways,   // create or truncate
  CreateNew,      // fail when it exists, never follow a symbolic link; mode 0600
  CreatePrivate,  // create or truncate, never follow a symbolic link; mode 0600 when created
  OpenPrivate,    // open, or create when missing; never follow a symbolic link; mode 0600 when
                  // created
};

// An open file, closed when the object goes. Operations do not throw; they
// answer false or -1 and leave the operating system's code in LastError().
class TFile {
 public:
  TFile() = default;
  ~TFile();
  TFile(TFile&& other) noexcept;
  TFile& operator=(TFile&& other) noexcept;
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;

  bool Open(const std::string& path, FileAccess access, FileShare share, FileCreate create);
  // Opens for writing at the end, creating the file when missing and never
  // truncating it. Each Write then lands at the end of the file as one append,
  // whatever other writers do meanwhile. Takes no lock.
  bool OpenAppend(const std::string& path);
  // Creates a new file for writing whose name is `pathPrefix` followed by a
  // unique suffix, readable by all (0644); `path` receives the name. Made for
  // a file that is written whole and then renamed into place.
  bool CreateUnique(const std::string& pathPrefix, std::string& path);
  // Creates a file without a name in `folder` for writing, readable by all
  // (0644): a process that ends before LinkAs, however it ends, leaves
  // nothing behind. False where the file system has no such files.
  bool CreateNameless(const std::string& folder);
  // Gives the open nameless file the name `path`, which must not exist yet
  // (false with an error that IsFileExistsError accepts when it does). The
  // file stays open.
  bool LinkAs(const std::string& path);
  bool IsOpen() const { return handle_ >= 0; }
  // Bytes read (0 at the end) or -1. Retries interrupted reads.
  int64_t Read(void* buffer, size_t count);
  // Writes all bytes or fails; true on success.
  bool Write(const void* data, size_t count);
  bool Write(std::string_view text) { return Write(text.data(), text.size()); }
  // For a file opened with OpenAppend: appends all of `data` in one write, or
  // nothing. A write that stops short (a full disk, a file size limit) is cut
  // off the file again, unless another writer appended after it meanwhile, so
  // no torn record stays behind for the next one to be glued to. A short write
  // reports ENOSPC when the system gave no code of its own.
  bool AppendWhole(std::string_view data);
  bool Seek(int64_t position);
  bool SeekEnd();
  int64_t Size();
  // Cuts the file to `size` bytes; the position stays where it was.
  bool Truncate(int64_t size);
  // Sets the file's last-write (and last-access) time to now.
  bool Touch();
  bool Close();
  int LastError() const { return lastError_; }

  // The process's standard input and output; closing them leaves the
  // descriptors of the process open.
  static TFile StandardInput();
  static TFile StandardOutput();

 private:
  // A file descriptor on POSIX, a HANDLE on Windows; -1 when closed.
  intptr_t handle_ = -1;
  bool ownsHandle_ = true;
  // Opened by OpenAppend: every write goes to the end of the file.
  bool appends_ = false;
  int lastError_ = 0;
};

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
bool CreateDir(const std::string& path);
// Creates a folder that only the owner may enter.
bool CreatePrivateDir(const std::string& path);
// Makes an existing folder of this user's the owner's alone (on POSIX: a real
// folder, not a link, owned by this user, mode 0700 afterwards). False when it
// is someone else's or cannot be changed. Windows keeps the folder's own
// access rules: there it only tests that the folder exists.
bool MakeFolderPrivate(const std::string& path);
// Seconds since the file was last written; nullopt when it does not exist.
std::optional<double> FileAgeSeconds(const std::string& path);
// The full names of the files in `folder` whose names begin with `namePrefix`.
std::vector<std::string> ListFiles(const std::string& folder, std::string_view namePrefix);
bool DeleteFile(const std::string& path);
// Replaces `to` atomically where the file system allows it. Windows refuses
// to replace a file that somebody holds open: there it tries again for about
// two seconds, since the system's readers hold a file for a moment only.
bool RenameFile(const std::string& from, const std::string& to);
bool SetFileDate(const std::string& path, TDateTime localTime);

// Opens a file that other processes of the system open with a sharing lock,
// making `attempts` tries in all. After a try that fails only because another
// holder has the lock, it waits up to pauseMs for the lock to be let go, trying
// again every few milliseconds, so the pause bounds the wait instead of being
// slept whole. Any other failure (a missing file with OpenExisting) ends the
// try at once and counts as one attempt, with the same bounded pause.
bool OpenWithRetry(TFile& file, const std::string& path, FileAccess access, FileShare share,
                   FileCreate create, int attempts, int pauseMs);

// Appends data to the file with one write of the whole text (AppendWhole),
// creating the file when missing, so that lines of processes that log at once
// never interleave and a full disk leaves no piece of a line. Answers false
// and the operating system's code on failure.
bool AppendToFile(const std::string& path, std::string_view data, int& errorCode);

// The text of an operating-system error code.
std::string SystemErrorText(int errorCode);

// True when an operating-system error code says that a file to be created
// exists already (CreateNew, LinkAs, CreateUnique).
bool IsFileExistsError(int errorCode);
// True when an open failed only because another holder's sharing mode (its
// lock) refused it: worth trying again once the holder lets go.
bool IsSharingViolation(int errorCode);

}  // namespace pithorama
