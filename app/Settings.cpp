#include "app/Settings.h"

#include <array>
#include <utility>

#include "pithorama/platform/Files.h"

namespace pithorama::app {

namespace {

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool HasControlCharacter(std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

// A name from the file as the error log shows it: one short printable line,
// whatever bytes the file holds.
std::string Shown(std::string_view name) {
  constexpr size_t kLongest = 40;
  std::string shown;
  for (char c : name.substr(0, kLongest)) {
    const auto byte = static_cast<unsigned char>(c);
    shown += byte < 0x20 || byte == 0x7F ? '?' : c;
  }
  if (name.size() > kLongest) shown += "...";
  return shown;
}

// The names a file may set, with the member each one sets and whether its
// value may hold blanks (an address with a display name may; a host may not).
struct TSettingName {
  std::string_view name;
  std::string TMailSettings::*member;
  bool blanksAllowed;
};

constexpr std::array<TSettingName, 5> kNames{{
    {"relay", &TMailSettings::Relay, false},
    {"port", &TMailSettings::Port, false},
    {"sender", &TMailSettings::Sender, true},
    {"recipient", &TMailSettings::Recipient, true},
    {"subject", &TMailSettings::Subject, true},
}};

const TSettingName* FindName(std::string_view name) {
  for (const TSettingName& entry : kNames)
    if (entry.name == name) return &entry;
  return nullptr;
}

// One line "name = value" applied to `settings`; "" or the fault.
std::string ApplyLine(std::string_view line, TMailSettings& settings) {
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) return "no \"=\" in the line";
  const std::string name(Trim(line.substr(0, equals)));
  const std::string_view value = Trim(line.substr(equals + 1));
  const TSettingName* entry = FindName(name);
  if (entry == nullptr) return "unknown setting \"" + Shown(name) + "\"";
  if (value.empty()) return "no value for \"" + name + "\"";
  // A value ends up in the SMTP dialogue and the mail's header lines.
  if (HasControlCharacter(value)) return "a control character in the value of \"" + name + "\"";
  if (!entry->blanksAllowed && value.find_first_of(" \t") != std::string_view::npos)
    return "a blank in the value of \"" + name + "\"";
  settings.*(entry->member) = std::string(value);
  return "";
}

}  // namespace

std::string ApplySettingsText(std::string_view text, TMailSettings& settings) {
  TMailSettings read = settings;
  size_t number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == '#') continue;
    const std::string fault = ApplyLine(line, read);
    if (!fault.empty()) return "line " + std::to_string(number) + ": " + fault;
  }
  settings = std::move(read);
  return "";
}

std::string LoadMailSettings(const std::string& path, TMailSettings& settings) {
  TFile file;
  if (!file.Open(path, FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting))
    return "cannot read " + path + ": " + SystemErrorText(file.LastError());
  std::string text;
  char buffer[4096];
  for (;;) {
    const int64_t count = file.Read(buffer, sizeof buffer);
    if (count < 0) return "cannot read " + path + ": " + SystemErrorText(file.LastError());
    if (count == 0) break;
    text.append(buffer, static_cast<size_t>(count));
    if (text.size() > MaxSettingsFileSize)
      return path + ": longer than " + std::to_string(MaxSettingsFileSize) + " bytes";
  }
  const std::string fault = ApplySettingsText(text, settings);
  return fault.empty() ? "" : path + " " + fault;
}

}  // namespace pithorama::app
