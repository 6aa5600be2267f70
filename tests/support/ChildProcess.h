// A program the tests start with pipes on its standard input and output: the
// one piece of the test support that differs between systems (a source file
// per system implements it).
//
//   TChildProcess child("/usr/bin/python3", {"server.py"}, nullptr, "");
//   std::string out;
//   while (child.ReadOutput(out, 1000) != TChildProcess::End) ...
//   child.CloseInput();
//   int code = child.Wait(5000);  // -1 when it did not end (then Kill)
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace pithorama::test {

class TChildProcess {
 public:
  // Starts `program` with `arguments` (after the program name) in
  // `workingDir` (current folder when empty); with exactly `environment`
  // when it is given (plus the sanitizer settings and TZ), else with the
  // test's own environment. Throws std::runtime_error when it cannot start.
  TChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>* environment,
                const std::string& workingDir);
  // Closes the pipes, kills the program if it still runs and waits for it.
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // Writes all of `bytes` to the program's standard input (blocking); false
  // when the program no longer reads.
  bool WriteInput(const std::string& bytes);
  void CloseInput();

  enum TRead { Data, End, Timeout };
  // Appends what the program has written, waiting up to timeoutMs for some.
  TRead ReadOutput(std::string& into, int timeoutMs);

  // The exit code once the program ended within timeoutMs; -1 when it did
  // not end in time or did not end normally (killed, crashed, aborted).
  int Wait(int timeoutMs);
  void Kill();

 private:
  struct TState;
  std::unique_ptr<TState> state_;
};

}  // namespace pithorama::test
