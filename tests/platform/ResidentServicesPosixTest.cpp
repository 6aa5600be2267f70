// The platform services of the resident CGI server as only POSIX systems
// offer them: a forked child's title and a detached start seen through /proc.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "pithorama/platform/Files.h"
#include "pithorama/platform/Process.h"
#include "pithorama/platform/Threads.h"
#include "pithorama/platform/WindowTitle.h"
#include "tests/support/Process.h"

namespace pithorama {
namespace {

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
  pithorama::test::TempFolder folder;
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
  const std::string text = pithorama::test::ReadWholeFile(report);
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

}  // namespace
}  // namespace pithorama
