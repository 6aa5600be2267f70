// The template filter: sends a page as the answer of the calling thread's
// request, replacing the entries in it on the way. An entry is a name between
// two percent signs (the name holds no blank); it is answered by the
// OnHttpEntry handler, else by a request variable, the built-in hidden input
// "RANDOM_HIDDEN_INPUT", a form field, or the built-ins "TIME" and "DATE";
// an entry nothing answers for vanishes.
//
//   THttpFileFilter* filter = new THttpFileFilter(form);
//   filter->OnHttpEntry = [](std::string name, bool& handled) {
//     if (name == "GREETING") EngineWrite("Hello"); else handled = false;
//   };
//   filter->FileName = folder + "page.html";
//   filter->SendFile();  // inside OnExecRequest
//
// The filters hold no engine: all output and look-ups go to CurrentEngine(),
// so one filter serves every gateway and every request thread at once.
// Outside a request (no current engine) they do nothing.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "pithorama/platform/Component.h"
#include "pithorama/platform/Paths.h"

namespace pithorama {

// The handler gets the trimmed entry name and Handled set to true; it writes
// its replacement itself, or sets Handled to false to let the filter look on.
using THttpEntryEvent = std::function<void(std::string EntryName, bool& Handled)>;

class THttpTextFilterComponent : public TComponent {
 public:
  using TComponent::TComponent;

  THttpEntryEvent OnHttpEntry;

  // Writes `text` to the answer, replacing every entry. Without a handler the
  // text goes out unchanged, built-ins included. Texts of any length are
  // written whole.
  void SendText(std::string_view text);
};

class THttpFileFilter : public THttpTextFilterComponent {
 public:
  using THttpTextFilterComponent::THttpTextFilterComponent;

  // The template file. When empty, SendFile fills in the default (see
  // DefaultTemplateFileName) and keeps it here.
  std::string FileName;

  // Streams the template through SendText in blocks of 255 bytes; a block is
  // extended by further 255-byte reads while a percent sign stands in the last
  // 65 bytes of its last full read, so an entry near a border stays whole, up
  // to MaxTemplateBlock bytes. A zero byte drops the rest of its read. Raises
  // Exception "<Name> : Can not find file named <path>" when the file is
  // missing and "<Name> : open error <path>" when it cannot be opened. The file
  // is closed on every way out, also when a handler raises.
  void SendFile();
};

// The longest block SendFile hands to SendText at once: bounds its memory
// whatever the template holds.
inline constexpr size_t MaxTemplateBlock = 255 * 256;

// The default template of a module: its path cut after the first "." of the
// whole path, followed by "htm" ("D:\my.dir\app.exe" gives "D:\my.htm"). A
// path without any dot, as programs usually have on POSIX, gets ".htm"
// appended ("/srv/cgi-bin/app" gives "/srv/cgi-bin/app.htm").
std::string DefaultTemplateFileName(std::string_view modulePath);

// `fileName` unchanged when it is absolute in `style`, else placed in the
// folder of `modulePath`.
std::string ResolveTemplatePath(std::string_view fileName, std::string_view modulePath,
                                const PathStyle& style = HostPathStyle());

}  // namespace pithorama
