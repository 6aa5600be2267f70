// An engine over memory for the filter: variables and fields from maps, every
// write kept apart, look-ups counted. Made current for the calling thread.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "engine/HttpEng.h"

namespace pithorama::testing {

class TRecordingEngine : public THttpEngine {
 public:
  TRecordingEngine() : THttpEngine(nullptr) {
    AutoHttpHeader = false;
    MakeCurrent();
  }

  std::map<std::string, std::string> variables;
  std::map<std::string, std::string> fields;
  std::vector<std::string> writes;
  int lookups = 0;

  std::string Answer() const {
    std::string all;
    for (const auto& w : writes) all += w;
    return all;
  }

  void ExecRequest() override {}
  void Write(std::string_view text) override {
    THttpEngine::Write(text);
    writes.emplace_back(text);
  }
  std::string GetVariable(std::string_view name) override {
    ++lookups;
    auto it = variables.find(std::string(name));
    return it == variables.end() ? std::string(NotAvailable) : it->second;
  }
  std::string GetField(std::string_view name, std::string_view defaultValue) override {
    ++lookups;
    auto it = fields.find(std::string(name));
    return it == fields.end() ? std::string(defaultValue) : it->second;
  }
  TStringList GetFieldNames() override { return {}; }
  bool IsActiveGateway() override { return true; }
};

}  // namespace pithorama::testing
