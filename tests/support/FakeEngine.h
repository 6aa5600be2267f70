// An engine over memory: variables from a map, fields from a map or from
// url-encoded text, every write kept apart and the whole answer gathered,
// look-ups counted.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "pithorama/engine/HttpEng.h"

namespace pithorama::test {

class FakeEngine : public THttpEngine {
 public:
  explicit FakeEngine(TComponent* owner = nullptr) : THttpEngine(owner) {}

  std::map<std::string, std::string> variables;
  // What GetVariable answers for a name not in `variables`.
  std::string missingVariable;
  // Fields: `fields` first, then the url-encoded `content`.
  std::map<std::string, std::string> fields;
  std::string content;
  std::vector<std::string> writes;
  std::string answer;
  int lookups = 0;
  bool active = true;
  std::function<void()> exec;

  void ExecRequest() override {
    if (OnExecRequest) OnExecRequest(this);
    if (exec) exec();
  }
  void Write(std::string_view text) override {
    THttpEngine::Write(text);
    writes.emplace_back(text);
    answer.append(text);
  }
  std::string GetVariable(std::string_view name) override {
    ++lookups;
    auto it = variables.find(std::string(name));
    return it == variables.end() ? missingVariable : it->second;
  }
  std::string GetField(std::string_view name, std::string_view defaultValue) override {
    ++lookups;
    auto it = fields.find(std::string(name));
    if (it != fields.end()) return it->second;
    return GetFieldValue(name, content, defaultValue);
  }
  TStringList GetFieldNames() override { return ParseFieldNames(content); }
  bool IsActiveGateway() override { return active; }
};

// The engine the template filter tests write through: no header of its own,
// missing variables answer the not-available marker, current on this thread.
class FilterEngine : public FakeEngine {
 public:
  FilterEngine() {
    AutoHttpHeader = false;
    missingVariable = NotAvailable;
    MakeCurrent();
  }
  // Everything written since `writes` was last cleared.
  std::string Answer() const {
    std::string all;
    for (const std::string& w : writes) all += w;
    return all;
  }
};

}  // namespace pithorama::test
