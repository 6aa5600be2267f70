// A helper server program for one test: started with a pipe on its standard
// input and output, ready when it prints its "READY <port>" line, and ended
// when the object goes (its standard input closes; it is killed if it lingers).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace pithorama::test {

class ServerProcess {
 public:
  // Starts the program; Port() is 0 when it did not report ready within 30 s.
  explicit ServerProcess(const std::vector<std::string>& command);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  int Port() const { return port_; }
  // What the program printed before it was ready or gave up.
  const std::string& Output() const { return output_; }

 private:
  std::unique_ptr<pithorama::test::TChildProcess> child_;
  int port_ = 0;
  std::string output_;
};

}  // namespace pithorama::test
