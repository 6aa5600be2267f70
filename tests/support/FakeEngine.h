// An engine over memory: variables from a map, fields from url-encoded text,
// the answer gathered in a string.
#pragma once

#include <map>
#include <string>

#include "engine/HttpEng.h"

class FakeEngine : public pithorama::THttpEngine {
 public:
  explicit FakeEngine(pithorama::TComponent* owner = nullptr) : THttpEngine(owner) {}

  std::map<std::string, std::string> variables;
  std::string content;
  std::string answer;
  bool active = true;
  std::function<void()> exec;

  void ExecRequest() override {
    if (OnExecRequest) OnExecRequest(this);
    if (exec) exec();
  }
  void Write(std::string_view text) override {
    THttpEngine::Write(text);
    answer.append(text);
  }
  std::string GetVariable(std::string_view name) override {
    auto it = variables.find(std::string(name));
    return it == variables.end() ? std::string() : it->second;
  }
  std::string GetField(std::string_view name, std::string_view defaultValue) override {
    return pithorama::GetFieldValue(name, content, defaultValue);
  }
  pithorama::TStringList GetFieldNames() override { return ParseFieldNames(content); }
  bool IsActiveGateway() override { return active; }
};
