#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "pithorama/platform/Files.h"
#include "pithorama/platform/Signals.h"
#include "tests/support/Process.h"

using namespace pithorama;

namespace {

struct Ending {
  int signal = 0;     // the signal that ended the child, 0 when it exited
  int exitCode = -1;  // its exit code when it exited
};

// Runs `body` in a child process, which exits with code 0 when body returns.
Ending RunInChild(const std::function<void()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  Ending ending;
  if (WIFSIGNALED(status)) ending.signal = WTERMSIG(status);
  if (WIFEXITED(status)) ending.exitCode = WEXITSTATUS(status);
  return ending;
}

}  // namespace

TEST(Signals, TerminationDeletesRegisteredFilesThenEnds) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    pithorama::test::TempFolder folder;
    const std::string upload = folder.File("1upload.tmp"), kept = folder.File("2kept.tmp");
    const std::string other = folder.File("other.dat");
    for (const std::string& path : {upload, kept, other})
      pithorama::test::WriteWholeFile(path, "x");

    Ending ending = RunInChild([&] {
      SetTerminationAction(TTerminationAction::RemoveFilesAndEnd);
      RemoveOnTermination(upload);
      RemoveOnTermination(kept);
      KeepOnTermination(kept);
      raise(signal);
    });
    EXPECT_EQ(ending.signal, signal);
    EXPECT_FALSE(FileExists(upload));
    EXPECT_TRUE(FileExists(kept));
    EXPECT_TRUE(FileExists(other));
  }
}

TEST(Signals, EntriesAreReusedAfterKeep) {
  pithorama::test::TempFolder folder;
  const std::string first = folder.File("first"), second = folder.File("second");
  pithorama::test::WriteWholeFile(first, "x");
  pithorama::test::WriteWholeFile(second, "x");
  Ending ending = RunInChild([&] {
    SetTerminationAction(TTerminationAction::RemoveFilesAndEnd);
    // The second name goes into the entry the first one left.
    RemoveOnTermination(first);
    KeepOnTermination(first);
    RemoveOnTermination(second);
    raise(SIGTERM);
  });
  EXPECT_EQ(ending.signal, SIGTERM);
  EXPECT_TRUE(FileExists(first));
  EXPECT_FALSE(FileExists(second));
}

TEST(Signals, DefaultActionLeavesFiles) {
  pithorama::test::TempFolder folder;
  const std::string upload = folder.File("upload.tmp");
  pithorama::test::WriteWholeFile(upload, "x");
  Ending ending = RunInChild([&] {
    SetTerminationAction(TTerminationAction::RemoveFilesAndEnd);
    RemoveOnTermination(upload);
    SetTerminationAction(TTerminationAction::Default);
    raise(SIGTERM);
  });
  EXPECT_EQ(ending.signal, SIGTERM);
  EXPECT_TRUE(FileExists(upload));
}

TEST(Signals, WriteToGoneReaderIsAnError) {
  Ending ending = RunInChild([] {
    IgnoreBrokenPipe();
    int ends[2];
    if (pipe(ends) != 0) _exit(2);
    close(ends[0]);
    TFile output = TFile::StandardOutput();
    if (dup2(ends[1], STDOUT_FILENO) < 0) _exit(2);
    const bool written = output.Write("answer");
    _exit(!written && output.LastError() == EPIPE ? 0 : 3);
  });
  EXPECT_EQ(ending.signal, 0);
  EXPECT_EQ(ending.exitCode, 0);
}
