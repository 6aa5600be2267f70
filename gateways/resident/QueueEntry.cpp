#include "pithorama/gateways/resident/QueueEntry.h"

#include <cstring>

namespace pithorama {

namespace {

constexpr size_t kTimeOffset = 4;
constexpr size_t kFileOffset = 12;

}  // namespace

bool FitsEntryFile(std::string_view name) { return name.size() < kEntryFileSize; }

TEntryBytes EncodeEntry(const TQueueEntry& entry) {
  TEntryBytes bytes{};
  bytes[0] = static_cast<char>(entry.EntryState);
  static_assert(sizeof(TDateTime) == 8);
  std::memcpy(bytes.data() + kTimeOffset, &entry.EntryTime, sizeof entry.EntryTime);
  const size_t length = std::min(entry.EntryFile.size(), kEntryFileSize - 1);
  std::memcpy(bytes.data() + kFileOffset, entry.EntryFile.data(), length);
  return bytes;
}

TQueueEntry DecodeEntry(const char* bytes) {
  TQueueEntry entry;
  entry.EntryState = static_cast<uint8_t>(bytes[0]);
  std::memcpy(&entry.EntryTime, bytes + kTimeOffset, sizeof entry.EntryTime);
  const char* name = bytes + kFileOffset;
  entry.EntryFile.assign(name, strnlen(name, kEntryFileSize));
  return entry;
}

std::vector<TQueueEntry> DecodeEntries(std::string_view content) {
  std::vector<TQueueEntry> entries;
  for (size_t at = 0; at + kQueueEntrySize <= content.size(); at += kQueueEntrySize)
    entries.push_back(DecodeEntry(content.data() + at));
  return entries;
}

bool EndsWithReq(std::string_view name) {
  const size_t at = name.find("_REQ");
  return at != std::string_view::npos && at + 4 == name.size();
}

}  // namespace pithorama
