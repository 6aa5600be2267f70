#include "pithorama/gateways/wincgi/CgiIniFile.h"

#include <algorithm>

#include "pithorama/platform/Errors.h"
#include "pithorama/platform/Files.h"

namespace pithorama {

namespace {

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 32; }

bool IsDecimal(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// "_" first, then every other byte in its own order.
int Rank(char c) { return c == '_' ? 0 : static_cast<unsigned char>(c) + 1; }

}  // namespace

bool TCGIIniFile::KeyOrder::operator()(const std::string& a, const std::string& b) const {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i)
    if (a[i] != b[i]) return Rank(a[i]) < Rank(b[i]);
  return a.size() < b.size();
}

// Lines are kept whole, however long; a CR ends one, and the byte after the CR
// is dropped when it is a blank or a control character (the LF of CR LF).
TCGIIniFile::TCGIIniFile(std::string_view bytes) {
  std::string line;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\r') {
      ParseLine(line);
      line.clear();
      if (i + 1 < bytes.size() && IsBlankOrControl(bytes[i + 1])) ++i;
    } else if (!line.empty() || !IsBlankOrControl(c)) {
      line += c;
    }
  }
  ParseLine(line);
}

std::unique_ptr<TCGIIniFile> TCGIIniFile::Create(const std::string& fileName) {
  TFile file;
  if (!file.Open(fileName, FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting))
    throw EFOpenError("Cannot open file " + fileName);
  std::string bytes;
  char block[65536];
  for (int64_t n; (n = file.Read(block, sizeof block)) > 0;)
    bytes.append(block, static_cast<size_t>(n));
  return std::make_unique<TCGIIniFile>(bytes);
}

void TCGIIniFile::ParseLine(std::string_view line) {
  if (line.empty()) return;
  if (line[0] == '[') {
    size_t end = line.size();
    while (end > 1 && (line[end - 1] == ']' || IsBlankOrControl(line[end - 1]))) --end;
    OpenSection(UpperCase(Trim(line.substr(1, end - 1))));
    return;
  }
  // A key has at most 31 bytes: the "=" stands within the first 32.
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos || equals >= 32) return;
  const std::string key = UpperCase(Trim(line.substr(0, equals)));
  if (key.empty() || currentSection_ < 0) return;
  keyLists_[currentSection_][key] = Trim(line.substr(equals + 1));
}

// A name seen before becomes current again. A new name beyond the table makes
// no section current, so that its keys are dropped instead of landing in the
// section before it.
void TCGIIniFile::OpenSection(std::string name) {
  const int known = SectionIndex(name);
  if (known >= 0) {
    currentSection_ = known;
  } else if (sections_.size() < kMaxSections) {
    sections_.push_back(std::move(name));
    keyLists_.emplace_back();
    currentSection_ = static_cast<int>(sections_.size()) - 1;
  } else {
    currentSection_ = -1;
  }
}

int TCGIIniFile::SectionIndex(std::string_view name) const {
  for (size_t i = 0; i < sections_.size(); ++i)
    if (sections_[i] == name) return static_cast<int>(i);
  return -1;
}

std::optional<std::string> TCGIIniFile::Find(std::string_view section, std::string_view key) const {
  const int index = SectionIndex(UpperCase(Trim(section)));
  if (index < 0) return std::nullopt;
  const TKeyList& keys = keyLists_[index];
  auto it = keys.find(UpperCase(Trim(key)));
  if (it == keys.end()) return std::nullopt;
  return it->second;
}

std::string TCGIIniFile::ReadValue(std::string_view section, std::string_view key,
                                   std::string_view defaultValue) const {
  return Find(section, key).value_or(std::string(defaultValue));
}

void TCGIIniFile::SetValue(std::string_view section, std::string_view key, std::string_view value) {
  const int index = SectionIndex(UpperCase(Trim(section)));
  if (index >= 0) keyLists_[index][UpperCase(Trim(key))] = Trim(value);
}

// A key NAME_n (n decimal) right after the field NAME is one of its further
// values; the key order puts them there.
TStringList TCGIIniFile::GetFormFieldNames() const {
  TStringList names;
  for (size_t s = 0; s < sections_.size(); ++s) {
    if (!StartsWith(sections_[s], "FORM")) continue;
    std::string prefix;
    for (const auto& entry : keyLists_[s]) {
      const std::string& key = entry.first;
      if (!prefix.empty() && StartsWith(key, prefix) && IsDecimal(key.substr(prefix.size())))
        continue;
      names.push_back(key);
      prefix = key + "_";
    }
  }
  return names;
}

}  // namespace pithorama
