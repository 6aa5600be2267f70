// The platform services of the resident CGI server: file-change wake-ups,
// window titles, exclusive opens with retry and close messages on
// termination. What only POSIX systems have (fork, /proc) is tested in
// ResidentServicesPosixTest.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sstream>
#include <thread>

#include "pithorama/platform/FileWatch.h"
#include "pithorama/platform/Files.h"
#include "pithorama/platform/Process.h"
#include "pithorama/platform/Signals.h"
#include "pithorama/platform/Threads.h"
#include "pithorama/platform/WindowTitle.h"
#include "tests/platform/CountingWindow.h"
#include "tests/support/Process.h"

namespace pithorama {
namespace {

TEST(FileWatch, ContentChangesWakeTouchesDoNot) {
  pithorama::test::TempFolder folder;
  const std::string path = folder.File("queue");
  pithorama::test::WriteWholeFile(path, "");
  CountingWindow window;
  TFileWatch watch;
  ASSERT_TRUE(watch.Start(path, window.handle, WmChanged));

  const struct {
    const char* name;
    std::function<void()> change;
    bool wakes;
  } cases[] = {
      {"touch",
       [&] {
         TFile f;
         ASSERT_TRUE(
             f.Open(path, FileAccess::ReadWrite, FileShare::Exclusive, FileCreate::OpenExisting));
         f.Touch();
       },
       false},
      {"open for writing without a write",
       [&] {
         TFile f;
         f.Open(path, FileAccess::ReadWrite, FileShare::Exclusive, FileCreate::OpenExisting);
       },
       false},
      {"other file of the folder", [&] { pithorama::test::WriteWholeFile(folder.File("x"), "1"); },
       false},
      {"append",
       [&] {
         int error;
         AppendToFile(path, "entry", error);
       },
       true},
      {"delete", [&] { DeleteFile(path); }, true},
      {"create", [&] { pithorama::test::WriteWholeFile(path, ""); }, true},
      {"append to the file made anew",
       [&] {
         int error;
         AppendToFile(path, "entry", error);
       },
       true},
      {"delete while another holder keeps it open",
       [&] {
         TFile holder;
         ASSERT_TRUE(
             holder.Open(path, FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting));
         DeleteFile(path);
         window.PumpUntil([&] { return window.changes > 0; }, 5000);
       },
       true},
      {"replaced by a rename",
       [&] {
         pithorama::test::WriteWholeFile(path, "");
         window.PumpUntil([&] { return window.changes > 0; }, 5000);
         window.changes = 0;
         pithorama::test::WriteWholeFile(folder.File("new"), "entry");
         ASSERT_TRUE(RenameFile(folder.File("new"), path));
       },
       true},
      {"moved away", [&] { ASSERT_TRUE(RenameFile(path, folder.File("moved"))); }, true},
      {"write to the file moved away",
       [&] { pithorama::test::WriteWholeFile(folder.File("moved"), "more"); }, false},
      {"other file made and deleted",
       [&] {
         pithorama::test::WriteWholeFile(folder.File("y"), "1");
         DeleteFile(folder.File("y"));
       },
       false},
      {"moved back", [&] { ASSERT_TRUE(RenameFile(folder.File("moved"), path)); }, true},
      {"append after the move back",
       [&] {
         int error;
         AppendToFile(path, "entry", error);
       },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    window.changes = 0;
    c.change();
    // A wake-up that should come is waited for; one that should not gets a
    // short chance to show up.
    window.PumpUntil([&] { return window.changes > 0; }, c.wakes ? 5000 : 200);
    EXPECT_EQ(window.changes > 0, c.wakes);
  }
}

TEST(WindowTitle, SeenWhileHeldAndGoneAfter) {
  const std::string title = "pithorama_test_" + std::to_string(CurrentProcessId()) + "_S";
  EXPECT_FALSE(WindowTitleExists(title));
  {
    TWindowTitle held;
    ASSERT_TRUE(held.Set(title));
    EXPECT_TRUE(WindowTitleExists(title));
    EXPECT_FALSE(WindowTitleExists(title + "x"));
  }
  EXPECT_FALSE(WindowTitleExists(title));
}

TEST(OpenWithRetry, WaitsForALockLetGoAndGivesUpOnOneKept) {
  pithorama::test::TempFolder folder;
  const std::string path = folder.File("q");
  pithorama::test::WriteWholeFile(path, "");
  auto holder = std::make_unique<TFile>();
  ASSERT_TRUE(holder->Open(path, FileAccess::Read, FileShare::Exclusive, FileCreate::OpenExisting));

  TFile file;
  EXPECT_FALSE(OpenWithRetry(file, path, FileAccess::ReadWrite, FileShare::Exclusive,
                             FileCreate::OpenExisting, 3, 20));
  std::thread letGo([&] {
    SleepMs(100);
    holder.reset();
  });
  EXPECT_TRUE(OpenWithRetry(file, path, FileAccess::ReadWrite, FileShare::Exclusive,
                            FileCreate::OpenExisting, 11, 100));
  letGo.join();
  EXPECT_FALSE(OpenWithRetry(file, folder.File("missing"), FileAccess::Read, FileShare::Exclusive,
                             FileCreate::OpenExisting, 2, 10));
}

TEST(PostCloseOnTermination, SignalsPostCloseToTheWindow) {
  CountingWindow window;
  ASSERT_TRUE(PostCloseOnTermination(window.handle));
  int expected = 0;
  for (int number : pithorama::test::TerminationSignals()) {
    SCOPED_TRACE(number);
    std::raise(number);
    ++expected;
    window.PumpUntil([&] { return window.closes >= expected; });
    EXPECT_EQ(window.closes, expected);
  }
}

}  // namespace
}  // namespace pithorama
