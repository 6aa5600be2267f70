// The queue file of the resident CGI server: a plain sequence of 268-byte
// entries, no header. An entry on disk:
//
//   offset  size  field
//        0     1  EntryState  0 waiting, 1 taken by the server, 2 finished
//        1     3  (padding, written as zeros, never read)
//        4     8  EntryTime   IEEE double, local date-time as a day count; never read
//       12   256  EntryFile   the request's file name, zero-terminated (at most 255 bytes)
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pithorama/platform/DateTime.h"

namespace pithorama {

constexpr size_t kQueueEntrySize = 268;
constexpr size_t kEntryFileSize = 256;

enum TEntryState : uint8_t { EntryWaiting = 0, EntryTaken = 1, EntryFinished = 2 };

struct TQueueEntry {
  uint8_t EntryState = EntryWaiting;
  TDateTime EntryTime = 0;
  std::string EntryFile;
};

using TEntryBytes = std::array<char, kQueueEntrySize>;

// True when the name fits EntryFile with its terminating zero.
bool FitsEntryFile(std::string_view name);
// The entry's bytes; a name that does not fit is cut to 255 bytes (callers
// check FitsEntryFile first).
TEntryBytes EncodeEntry(const TQueueEntry& entry);
// One entry from its bytes; the name ends at the first zero byte (or after 256).
TQueueEntry DecodeEntry(const char* bytes);
// Every whole entry of a queue file's content, in file order; a cut-off tail
// (a writer that failed half-way) is ignored.
std::vector<TQueueEntry> DecodeEntries(std::string_view content);

// A request name "ends with _REQ" when the first occurrence of "_REQ" in it is
// at its end: the standard gateway's request files do, the profile files of
// the Windows CGI gateway do not.
bool EndsWithReq(std::string_view name);

}  // namespace pithorama
