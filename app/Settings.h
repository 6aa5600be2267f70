// The program's mail settings, read from its settings file so that an
// administrator changes the relay, the addresses or the subject without a
// rebuild. The file holds lines "name = value"; blank lines and lines that
// start with "#" are comments:
//
//   relay = mail.example.org
//   port = 587
//   sender = Pithorama <pithorama@example.org>
//   recipient = quotes@example.org
//   subject = Today's saying
//
// A name the file leaves out keeps its built-in value.
#pragma once

#include <string>
#include <string_view>

namespace pithorama::app {

struct TMailSettings {
  std::string Relay;  // host name or dotted address of the SMTP server
  std::string Port;   // port number or service name
  std::string Sender;
  std::string Recipient;
  std::string Subject;
};

// The longest settings file read; a longer one is refused as a whole.
inline constexpr size_t MaxSettingsFileSize = 64 * 1024;

// Applies the lines of `text` to `settings`. All or nothing: on the first bad
// line `settings` stays as it was and the answer says which line and why;
// "" when every line was good.
std::string ApplySettingsText(std::string_view text, TMailSettings& settings);

// Reads the file `path` and applies it as ApplySettingsText does. "" when the
// file was read and good, else a message for the error log that names the
// file; `settings` then stays as it was.
std::string LoadMailSettings(const std::string& path, TMailSettings& settings);

}  // namespace pithorama::app
