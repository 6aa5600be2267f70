// Runs a program the way a web server runs a CGI program: a given environment,
// bytes on standard input, standard output captured. For tests only.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/support/ThisProcess.h"

namespace pithorama::test {

struct ProgramResult {
  int exitCode = -1;  // -1 when the program did not end normally
  std::string output;
};

// Starts `program` with `arguments` (after the program name), exactly the
// environment `environment` and `input` on standard input, in `workingDir`
// (current folder when empty). Kills it after timeoutSeconds.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment,
                         const std::string& input, const std::string& workingDir = "",
                         int timeoutSeconds = 60);

// A fresh empty folder under the system's temporary folder, removed with the object.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  const std::string& Path() const { return path_; }
  // The folder with its trailing delimiter, ready to be followed by a name.
  std::string Dir() const;
  // A name in the folder, joined with the system's own delimiter.
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

// Whole files as bytes. Reading a missing file answers empty; a failed write
// throws std::runtime_error.
std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& data);

}  // namespace pithorama::test
