// Entry replacement of the template filter.
#include "pithorama/engine/HttpFilter.h"

#include <algorithm>
#include <cmath>

#include "pithorama/engine/HttpEng.h"
#include "pithorama/platform/DateTime.h"
#include "pithorama/platform/Strings.h"

namespace pithorama {

namespace {

constexpr std::string_view HiddenInputName = "RANDOM_HIDDEN_INPUT";

// Empty stretches are not written: an empty text changes nothing in the answer.
void WriteIfAny(THttpEngine& engine, std::string_view text) {
  if (!text.empty()) engine.Write(text);
}

// Whole seconds since local midnight, 0 to 86399.
long SecondsOfDay() {
  TDateTime now = Now();
  double seconds = (now - std::trunc(now)) * 86400.0;
  return std::clamp(static_cast<long>(seconds), 0L, 86399L);
}

// First match wins: the handler, a non-empty request variable, the hidden
// input built-in, a form field, the time and date built-ins. The field is
// looked up before the hidden input is tested, so a posted-back hidden input
// is shadowed by a fresh one.
void ResolveEntry(const THttpEntryEvent& handler, const std::string& name, THttpEngine& engine) {
  bool handled = true;
  handler(name, handled);
  if (handled) return;
  const std::string variable = engine.GetVariable(name);
  if (!variable.empty() && variable != NotAvailable) {
    engine.Write(variable);
    return;
  }
  const std::string field = engine.GetField(name, NotAvailable);
  if (name == HiddenInputName) {
    engine.Write("<INPUT TYPE=\"HIDDEN\" NAME=\"RANDOM_HIDDEN_INPUT\" VALUE=\"" +
                 std::to_string(SecondsOfDay()) + "\">");
  } else if (field != NotAvailable) {
    WriteIfAny(engine, field);
  } else if (name == "TIME") {
    engine.Write(FormatLongTime(Now()));
  } else if (name == "DATE") {
    engine.Write(FormatShortDate(Now()));
  }
}

}  // namespace

// Every search runs to the next percent sign only, so the text is scanned once
// whatever its length. A percent sign whose stretch up to the next one holds a
// blank (or that has no next one) is written as text and the scan goes on right
// after it, so its would-be closing sign may open the next entry.
void THttpTextFilterComponent::SendText(std::string_view text) {
  THttpEngine* engine = CurrentEngine();
  if (engine == nullptr) return;
  if (!OnHttpEntry) {
    WriteIfAny(*engine, text);
    return;
  }
  const THttpEntryEvent handler = OnHttpEntry;  // the handler may reassign the event
  size_t pos = 0;
  for (size_t open; (open = text.find('%', pos)) != std::string_view::npos;) {
    WriteIfAny(*engine, text.substr(pos, open - pos));
    const size_t close = text.find('%', open + 1);
    if (close == std::string_view::npos ||
        text.substr(open, close - open).find(' ') != std::string_view::npos) {
      engine->Write("%");
      pos = open + 1;
      continue;
    }
    ResolveEntry(handler, Trim(text.substr(open + 1, close - open - 1)), *engine);
    pos = close + 1;
  }
  WriteIfAny(*engine, text.substr(pos));
}

}  // namespace pithorama
