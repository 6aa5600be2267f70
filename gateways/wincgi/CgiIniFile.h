// The profile file of a Windows CGI request: an ini-style text whose sections
// hold the request variables ([CGI], [System]), the request headers ([Accept],
// [Extra Headers]) and the form fields the web server has already decoded
// ([Form Literal], [Form External], [Form File], ...).
//
//   TCGIIniFile profile(bytes);                     // or TCGIIniFile::Create(fileName)
//   profile.ReadValue("System", "Output File", "");  // section and key in any case
//
// The reader follows the line rules of the servers that write these files: a
// CR ends a line (an LF or blank right after it is dropped), a lone LF does
// not; blanks and control characters at the start of a line are skipped. Keys
// are stored upper-cased and trimmed; the last value of a key wins.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pithorama/platform/Strings.h"

namespace pithorama {

class TCGIIniFile {
 public:
  // The most sections a profile holds; later new sections are not kept.
  static constexpr size_t kMaxSections = 51;

  // Parses the whole text.
  explicit TCGIIniFile(std::string_view bytes);
  // Reads and parses the file, opened with sharing allowed; raises EFOpenError
  // when it cannot be opened.
  static std::unique_ptr<TCGIIniFile> Create(const std::string& fileName);

  // The stored value, or defaultValue when the section or the key is missing.
  std::string ReadValue(std::string_view section, std::string_view key,
                        std::string_view defaultValue) const;
  // The stored value, or nothing when the section or the key is missing.
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;
  // Stores the trimmed value under the key; nothing happens for a section that
  // does not exist.
  void SetValue(std::string_view section, std::string_view key, std::string_view value);
  // The upper-case names of the form fields: the keys of every section whose
  // name begins with "FORM", in file order, each field once (its numbered
  // further values name_1, name_2, ... left out). The caller owns the list.
  TStringList GetFormFieldNames() const;

  // Section names (upper case, trimmed) in the order of first appearance.
  const TStringList& Sections() const { return sections_; }

 private:
  // Sorts "_" before every other character, so that the numbered further
  // values of a field (NAME_1, NAME_2) come right after NAME and before
  // NAME2 or NAMES, as the Windows locale order of the key lists has it.
  struct KeyOrder {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  using TKeyList = std::map<std::string, std::string, KeyOrder>;

  void ParseLine(std::string_view line);
  void OpenSection(std::string name);
  int SectionIndex(std::string_view name) const;

  std::vector<TKeyList> keyLists_;
  TStringList sections_;
  int currentSection_ = -1;  // -1 before the first section header
};

}  // namespace pithorama
