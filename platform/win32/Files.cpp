// Files on Windows: sharing modes are CreateFile's share flags, so the system's
// processes and every other program on the machine see the same conflicts.
#include "pithorama/platform/Files.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

#include "pithorama/platform/win32/WindowsApi.h"
// After <windows.h>, which it needs.
#include <sddl.h>

namespace pithorama {
namespace {

HANDLE Win(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
intptr_t Own(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE || handle == nullptr ? -1
                                                             : reinterpret_cast<intptr_t>(handle);
}
int LastCode() { return static_cast<int>(::GetLastError()); }

DWORD DesiredAccess(FileAccess access) {
  switch (access) {
    case FileAccess::Read:
      return GENERIC_READ;
    case FileAccess::Write:
      return GENERIC_WRITE;
    case FileAccess::ReadWrite:
      return GENERIC_READ | GENERIC_WRITE;
  }
  return 0;
}

// What the opener lets others do meanwhile. Sharing everything includes
// deletion and renaming, so a reader never keeps a file from being replaced.
DWORD ShareFlags(FileShare share) {
  switch (share) {
    case FileShare::DenyNone:
      return FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    case FileShare::DenyWrite:
      return FILE_SHARE_READ;
    case FileShare::DenyRead:
      return FILE_SHARE_WRITE;
    case FileShare::Exclusive:
      return 0;
  }
  return 0;
}

DWORD Disposition(FileCreate create) {
  switch (create) {
    case FileCreate::OpenExisting:
      return OPEN_EXISTING;
    case FileCreate::OpenAlways:
      return OPEN_ALWAYS;
    case FileCreate::CreateAlways:
      return CREATE_ALWAYS;
    case FileCreate::CreateNew:
      return CREATE_NEW;
    case FileCreate::CreatePrivate:
      return CREATE_ALWAYS;
    case FileCreate::OpenPrivate:
      return OPEN_ALWAYS;
  }
  return OPEN_EXISTING;
}

// Windows files take the access rules of their folder; the owner-only modes
// of the POSIX back end have no counterpart to set here. Not following a
// link is what the private creations keep.
DWORD Flags(FileCreate create) {
  const bool noFollow = create == FileCreate::CreateNew || create == FileCreate::CreatePrivate ||
                        create == FileCreate::OpenPrivate;
  return FILE_ATTRIBUTE_NORMAL | (noFollow ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
}

// Appenders lock one byte far beyond any end of file: Windows locks are
// mandatory, and a lock on the data itself would fail the log's readers.
constexpr DWORD kAppendLockHigh = 0x7fffffff;

bool LockForAppend(HANDLE file) {
  OVERLAPPED at{};
  at.OffsetHigh = kAppendLockHigh;
  return ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) != 0;
}

void UnlockAfterAppend(HANDLE file) {
  OVERLAPPED at{};
  at.OffsetHigh = kAppendLockHigh;
  ::UnlockFileEx(file, 0, 1, 0, &at);
}

std::string UniqueSuffix() {
  static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 generator{std::random_device{}() ^ ::GetCurrentProcessId()};
  std::uniform_int_distribution<size_t> pick(0, sizeof kChars - 2);
  std::string suffix;
  for (int i = 0; i < 6; ++i) suffix.push_back(kChars[pick(generator)]);
  return suffix;
}

// FILETIME counts 100 ns steps since 1601-01-01 UTC.
int64_t Ticks(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                              time.dwLowDateTime);
}

// Standard input and output carry bytes: a CGI answer's CR LF must not go out
// as CR CR LF, nor a request body lose its CRs. TFile uses the handles, which
// never translate; this sets the C runtime's streams to binary as well, at the
// start of every program that links the files (this file holds
// StandardOutput, so every program that answers does).
struct BinaryStandardStreams {
  BinaryStandardStreams() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
  }
} binaryStandardStreams;

}  // namespace

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

bool TFile::Open(const std::string& path, FileAccess access, FileShare share, FileCreate create) {
  Close();
  HANDLE file = ::CreateFileA(path.c_str(), DesiredAccess(access), ShareFlags(share), nullptr,
                              Disposition(create), Flags(create), nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    lastError_ = LastCode();
    return false;
  }
  handle_ = Own(file);
  ownsHandle_ = true;
  appends_ = false;
  lastError_ = 0;
  return true;
}

bool TFile::OpenAppend(const std::string& path) {
  Close();
  // Write access, not append-only access: the lock that keeps appends whole
  // needs it, and every write seeks to the end under that lock.
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    lastError_ = LastCode();
    return false;
  }
  handle_ = Own(file);
  ownsHandle_ = true;
  appends_ = true;
  lastError_ = 0;
  return true;
}

bool TFile::CreateUnique(const std::string& pathPrefix, std::string& path) {
  Close();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = pathPrefix + UniqueSuffix();
    if (Open(name, FileAccess::Write, FileShare::DenyNone, FileCreate::CreateNew)) {
      path = name;
      return true;
    }
    if (!IsFileExistsError(lastError_)) return false;
  }
  return false;
}

// Windows has no files without a name: callers take CreateUnique instead.
bool TFile::CreateNameless(const std::string&) {
  Close();
  lastError_ = ERROR_NOT_SUPPORTED;
  return false;
}

bool TFile::LinkAs(const std::string&) {
  lastError_ = ERROR_NOT_SUPPORTED;
  return false;
}

int64_t TFile::Read(void* buffer, size_t count) {
  DWORD n = 0;
  const DWORD wanted = static_cast<DWORD>(std::min<size_t>(count, 0x7fffffff));
  if (::ReadFile(Win(handle_), buffer, wanted, &n, nullptr)) return n;
  // A pipe whose writer has gone is at its end.
  if (::GetLastError() == ERROR_BROKEN_PIPE) return 0;
  lastError_ = LastCode();
  return -1;
}

bool TFile::Write(const void* data, size_t count) {
  if (appends_) return AppendWhole(std::string_view(static_cast<const char*>(data), count));
  const char* bytes = static_cast<const char*>(data);
  while (count > 0) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count, 0x7fffffff));
    if (!::WriteFile(Win(handle_), bytes, chunk, &n, nullptr)) {
      lastError_ = LastCode();
      return false;
    }
    bytes += n;
    count -= n;
  }
  return true;
}

bool TFile::AppendWhole(std::string_view data) {
  HANDLE file = Win(handle_);
  if (!LockForAppend(file)) {
    lastError_ = LastCode();
    return false;
  }
  // Under the lock no other appender moves the end, so a short write can be
  // cut off again without harm to anybody's line.
  LARGE_INTEGER zero{}, end{};
  bool whole = ::SetFilePointerEx(file, zero, &end, FILE_END) != 0;
  if (!whole) lastError_ = LastCode();
  DWORD n = 0;
  if (whole && !data.empty()) {
    const bool written =
        ::WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &n, nullptr) != 0;
    whole = written && n == data.size();
    if (!whole) {
      lastError_ = written ? ERROR_DISK_FULL : LastCode();  // a short write gives no code
      if (::SetFilePointerEx(file, end, nullptr, FILE_BEGIN)) ::SetEndOfFile(file);
    }
  }
  UnlockAfterAppend(file);
  return whole;
}

bool TFile::Seek(int64_t position) {
  LARGE_INTEGER to;
  to.QuadPart = position;
  if (!::SetFilePointerEx(Win(handle_), to, nullptr, FILE_BEGIN)) {
    lastError_ = LastCode();
    return false;
  }
  return true;
}

bool TFile::SeekEnd() {
  LARGE_INTEGER zero{};
  if (!::SetFilePointerEx(Win(handle_), zero, nullptr, FILE_END)) {
    lastError_ = LastCode();
    return false;
  }
  return true;
}

int64_t TFile::Size() {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(Win(handle_), &size)) {
    lastError_ = LastCode();
    return -1;
  }
  return size.QuadPart;
}

bool TFile::Truncate(int64_t size) {
  HANDLE file = Win(handle_);
  LARGE_INTEGER zero{}, position{}, to;
  to.QuadPart = size;
  if (!::SetFilePointerEx(file, zero, &position, FILE_CURRENT) ||
      !::SetFilePointerEx(file, to, nullptr, FILE_BEGIN) || !::SetEndOfFile(file)) {
    lastError_ = LastCode();
    return false;
  }
  ::SetFilePointerEx(file, position, nullptr, FILE_BEGIN);
  return true;
}

bool TFile::Touch() {
  // Both times, as on POSIX: the file watchers tell content from touches.
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  if (!::SetFileTime(Win(handle_), nullptr, &now, &now)) {
    lastError_ = LastCode();
    return false;
  }
  return true;
}

bool TFile::Close() {
  if (handle_ < 0) return true;
  HANDLE file = Win(handle_);
  handle_ = -1;
  if (!ownsHandle_) return true;
  if (!::CloseHandle(file)) {
    lastError_ = LastCode();
    return false;
  }
  return true;
}

TFile TFile::StandardInput() {
  TFile file;
  file.handle_ = Own(::GetStdHandle(STD_INPUT_HANDLE));
  file.ownsHandle_ = false;
  return file;
}

TFile TFile::StandardOutput() {
  TFile file;
  file.handle_ = Own(::GetStdHandle(STD_OUTPUT_HANDLE));
  file.ownsHandle_ = false;
  return file;
}

bool FileExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateDir(const std::string& path) { return ::CreateDirectoryA(path.c_str(), nullptr) != 0; }

// The access rules of a private folder: full access for the user that runs
// the process, nothing for anybody else, inherited by what is made inside.
static std::string OwnerOnlyRules() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  char buffer[256];
  DWORD size = 0;
  std::string rules;
  char* sid = nullptr;
  if (::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
      ::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
    rules = std::string("D:P(A;OICI;FA;;;") + sid + ")";
    ::LocalFree(sid);
  }
  ::CloseHandle(token);
  return rules;
}

bool MakeFolderPrivate(const std::string& path) { return DirectoryExists(path); }

bool CreatePrivateDir(const std::string& path) {
  const std::string rules = OwnerOnlyRules();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (rules.empty() || !::ConvertStringSecurityDescriptorToSecurityDescriptorA(
                           rules.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return false;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  const bool made = ::CreateDirectoryA(path.c_str(), &attributes) != 0;
  ::LocalFree(descriptor);
  return made;
}

std::optional<double> FileAgeSeconds(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return static_cast<double>(Ticks(now) - Ticks(data.ftLastWriteTime)) / 1e7;
}

std::vector<std::string> ListFiles(const std::string& folder, std::string_view namePrefix) {
  std::vector<std::string> found;
  const bool delimited = !folder.empty() && (folder.back() == '\\' || folder.back() == '/');
  const std::string base = delimited ? folder : folder + "\\";
  WIN32_FIND_DATAA entry;
  HANDLE search = ::FindFirstFileA((base + std::string(namePrefix) + "*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return found;
  do {
    // The pattern also matches short (8.3) names: compare the real one.
    std::string_view name = entry.cFileName;
    if (name.substr(0, namePrefix.size()) == namePrefix && name != "." && name != "..")
      found.push_back(base + std::string(name));
  } while (::FindNextFileA(search, &entry));
  ::FindClose(search);
  return found;
}

bool DeleteFile(const std::string& path) { return ::DeleteFileA(path.c_str()) != 0; }

// Windows refuses to replace a file that somebody holds open, even one opened
// with delete sharing. The system's readers hold a file for a moment only, so
// the rename is tried again for a bounded time before it fails.
bool RenameFile(const std::string& from, const std::string& to) {
  constexpr int kAttempts = 200;
  for (int attempt = 0;; ++attempt) {
    if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    const DWORD code = ::GetLastError();
    const bool held = code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION ||
                      code == ERROR_LOCK_VIOLATION;
    if (!held || attempt + 1 >= kAttempts) return false;
    ::Sleep(attempt < 10 ? 1 : 10);
  }
}

bool SetFileDate(const std::string& path, TDateTime localTime) {
  SYSTEMTIME local, utc;
  FILETIME time;
  if (!win32::LocalAndUtcSystemTime(localTime, local, utc) || !::SystemTimeToFileTime(&utc, &time))
    return false;
  HANDLE file = ::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool set = ::SetFileTime(file, nullptr, &time, &time) != 0;
  ::CloseHandle(file);
  return set;
}

std::string SystemErrorText(int errorCode) {
  char* text = nullptr;
  const DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(errorCode), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = n > 0 && text != nullptr ? std::string(text, n) : std::string();
  if (text != nullptr) ::LocalFree(text);
  // The system's texts end with a line break (and often a full stop before it).
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  if (message.empty()) message = "System error " + std::to_string(errorCode);
  return message;
}

bool IsFileExistsError(int errorCode) {
  return errorCode == ERROR_FILE_EXISTS || errorCode == ERROR_ALREADY_EXISTS;
}

bool IsSharingViolation(int errorCode) {
  return errorCode == ERROR_SHARING_VIOLATION || errorCode == ERROR_LOCK_VIOLATION;
}

}  // namespace pithorama
