// The request file that a CGI start hands to the resident server:
//
//   every "name=value" string of the client's environment, each + CR LF
//   the line "KESTREL_CGI_DEBUG=true" (no CR LF of its own)
//   CR LF CR LF
//   the body: CONTENT_LENGTH bytes of the client's standard input
//
// and the reader of its variable block on the server side.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "pithorama/platform/Files.h"
#include "pithorama/platform/Strings.h"

namespace pithorama {

// Everything before the body.
std::string RequestFileHead(const std::vector<std::string>& environment);

// Reads the variable block byte by byte: a CR or LF counts up, any other byte
// joins the current line and sets the count back to 0; at a count of 2 the
// current line is complete, at 4 the block ends. So lines end with CR LF and
// the block with CR LF CR LF, and the body starts right after.
//
//   TVariableBlockReader reader;
//   size_t used = reader.Feed(bytes);   // as often as needed, until Done()
//   // the body starts at bytes[used] of the last Feed
class TVariableBlockReader {
 public:
  // Consumes bytes up to the end of the block; answers how many it took.
  size_t Feed(std::string_view bytes);
  bool Done() const { return count_ >= 4; }
  // The complete lines so far. A line that the input left unfinished is not
  // among them.
  const TStringList& Lines() const { return lines_; }

 private:
  TStringList lines_;
  std::string current_;
  int count_ = 0;
};

// Reads the variable block of an open request file and leaves the file at the
// first body byte. A file that ends before the block does gives the lines read
// so far and leaves the file at its end, so the body reads as empty.
TStringList ReadVariableBlock(TFile& file);

}  // namespace pithorama
