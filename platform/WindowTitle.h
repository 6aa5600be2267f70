// Main-window titles that other processes can find. A process that shows a
// titled main window holds a TWindowTitle for as long as the window lives;
// any process of the same user asks WindowTitleExists.
//
//   TWindowTitle title;
//   title.Set("echo_S");                 // from now on ...
//   WindowTitleExists("echo_S");         // ... true in every process of this user
//
// A process that ends, however it ends, takes its titles with it, so a crashed
// program is seen as gone at once.
#pragma once

#include <cstdint>
#include <string>

#include "pithorama/platform/Files.h"

namespace pithorama {

class TWindowTitle {
 public:
  TWindowTitle() = default;
  ~TWindowTitle() { Clear(); }
  TWindowTitle(const TWindowTitle&) = delete;
  TWindowTitle& operator=(const TWindowTitle&) = delete;
  // Sets the title; false when it could not be made visible to others (the
  // window then goes on untitled).
  bool Set(const std::string& title);
  void Clear();

 private:
  TFile lock_;            // where a title is a lock file
  uintptr_t window_ = 0;  // where a title is a hidden top-level window
};

// True when a live window of any process of this user has exactly this title.
bool WindowTitleExists(const std::string& title);

}  // namespace pithorama
