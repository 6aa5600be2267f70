// The platform services of the resident CGI server: file-change wake-ups,
// window titles, detached starts, exclusive opens with retry and close
// messages on termination signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "platform/FileWatch.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Signals.h"
#include "platform/Threads.h"
#include "platform/WindowTitle.h"
#include "tests/support/Process.h"

namespace pithorama {
namespace {

constexpr unsigned WmChanged = WmUser + 7;

// A window that counts the messages it gets.
struct CountingWindow {
  CountingWindow() {
    handle = CreateMessageWindow([this](unsigned message, uintptr_t, intptr_t) -> intptr_t {
      if (message == WmChanged) ++changes;
      if (message == WmClose) ++closes;
      return 0;
    });
  }
  ~CountingWindow() { DestroyMessageWindow(handle); }
  // Pumps until `done` or the bounded wait is over.
  template <class Done>
  void PumpUntil(Done done, int boundMs = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!done() && std::chrono::steady_clock::now() < end) {
      WaitForMessage(50);
      DispatchMessages();
    }
  }
  TWindow handle;
  int changes = 0;
  int closes = 0;
};

TEST(FileWatch, ContentChangesWakeTouchesDoNot) {
  testsupport::TempFolder folder;
  const std::string path = folder.File("queue");
  testsupport::WriteWholeFile(path, "");
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
      {"other file of the folder", [&] { testsupport::WriteWholeFile(folder.File("x"), "1"); },
       false},
      {"append",
       [&] {
         int error;
         AppendToFile(path, "entry", error);
       },
       true},
      {"delete", [&] { DeleteFile(path); }, true},
      {"create", [&] { testsupport::WriteWholeFile(path, ""); }, true},
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
  const std::string title = "pithorama_test_" + std::to_string(getpid()) + "_S";
  EXPECT_FALSE(WindowTitleExists(title));
  {
    TWindowTitle held;
    ASSERT_TRUE(held.Set(title));
    EXPECT_TRUE(WindowTitleExists(title));
    EXPECT_FALSE(WindowTitleExists(title + "x"));
  }
  EXPECT_FALSE(WindowTitleExists(title));
}

TEST(WindowTitle, ProcessThatDiesTakesItsTitle) {
  const std::string title = "pithorama_test_child_" + std::to_string(getpid());
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) {
    TWindowTitle held;
    held.Set(title);
    char byte = 1;
    (void)!write(ready[1], &byte, 1);
    pause();
    _exit(0);
  }
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  EXPECT_TRUE(WindowTitleExists(title));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_FALSE(WindowTitleExists(title));
  close(ready[0]);
  close(ready[1]);
}

TEST(DetachedProcess, OwnSessionNullDevicesNoInheritedDescriptors) {
  testsupport::TempFolder folder;
  int inherited[2];
  ASSERT_EQ(pipe(inherited), 0);  // no close-on-exec: a plain fork would pass it on
  const std::string report = folder.File("report");
  const std::string fds = std::to_string(inherited[0]) + " " + std::to_string(inherited[1]);
  const std::string script =
      "s=$(ps -o sid= -p $$); i=$(readlink /proc/$$/fd/0); o=$(readlink /proc/$$/fd/1);"
      " e=$(readlink /proc/$$/fd/2); n=closed; for f in " +
      fds +
      "; do [ -e /proc/$$/fd/$f ] && n=open; done;"
      " echo $s $i $o $e $n \"$MARK\" > " +
      report + ".tmp; mv " + report + ".tmp " + report;
  ASSERT_TRUE(StartDetachedProcess("/bin/sh", {"-c", script}, {"PATH=/usr/bin:/bin", "MARK=m"}));
  for (int i = 0; i < 500 && !FileExists(report); ++i) SleepMs(10);
  const std::string text = testsupport::ReadWholeFile(report);
  close(inherited[0]);
  close(inherited[1]);
  std::istringstream lines(text);
  std::string sid, in, out, err, inheritedPipe, mark;
  lines >> sid >> in >> out >> err >> inheritedPipe >> mark;
  EXPECT_NE(std::stoi(sid), getsid(0));
  EXPECT_EQ(in, "/dev/null");
  EXPECT_EQ(out, "/dev/null");
  EXPECT_EQ(err, "/dev/null");
  EXPECT_EQ(inheritedPipe, "closed");
  EXPECT_EQ(mark, "m");
}

TEST(OpenWithRetry, WaitsForALockLetGoAndGivesUpOnOneKept) {
  testsupport::TempFolder folder;
  const std::string path = folder.File("q");
  testsupport::WriteWholeFile(path, "");
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
  for (int number : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(number);
    raise(number);
    ++expected;
    window.PumpUntil([&] { return window.closes >= expected; });
    EXPECT_EQ(window.closes, expected);
  }
}

}  // namespace
}  // namespace pithorama
