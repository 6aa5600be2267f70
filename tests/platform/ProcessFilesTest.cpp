// Files and processes between several processes of the system: sharing
// modes, appends, replacing a file under a reader, detached starts, standard
// output, termination and the module name inside a library. A probe program plays the
// other process; markers in files say what it did, so every step is portable.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "pithorama/platform/Environment.h"
#include "pithorama/platform/Files.h"
#include "pithorama/platform/Library.h"
#include "pithorama/platform/Module.h"
#include "pithorama/platform/Paths.h"
#include "pithorama/platform/Process.h"
#include "pithorama/platform/Threads.h"
#include "pithorama/platform/WindowTitle.h"
#include "tests/support/Process.h"

namespace pithorama {
namespace {

std::string BuiltFile(const char* name) { return ExtractFilePath(ExecutableFileName()) + name; }
std::string Probe() { return BuiltFile(PLATFORM_PROBE_NAME); }

// Waits (bounded, so a hang fails) until the file exists.
bool AwaitFile(const std::string& path, int boundMs = 20000) {
  for (int waited = 0; waited < boundMs; waited += 10) {
    if (FileExists(path)) return true;
    SleepMs(10);
  }
  return false;
}

void StartProbe(const std::vector<std::string>& arguments) {
  ASSERT_TRUE(StartDetachedProcess(Probe(), arguments, EnvironmentBlock()));
}

TEST(FileSharing, AHolderInAnotherProcessRefusesOthersUntilItLetsGo) {
  pithorama::test::TempFolder folder;
  const std::string path = folder.File("queue"), held = folder.File("held");
  const std::string release = folder.File("release");
  StartProbe({"hold", path, held, release});
  ASSERT_TRUE(AwaitFile(held));

  TFile file;
  EXPECT_FALSE(
      file.Open(path, FileAccess::ReadWrite, FileShare::Exclusive, FileCreate::OpenExisting));
  EXPECT_TRUE(IsSharingViolation(file.LastError())) << SystemErrorText(file.LastError());
  EXPECT_FALSE(file.Open(path, FileAccess::Read, FileShare::DenyWrite, FileCreate::OpenExisting));

  pithorama::test::WriteWholeFile(release, "");
  EXPECT_TRUE(OpenWithRetry(file, path, FileAccess::ReadWrite, FileShare::Exclusive,
                            FileCreate::OpenExisting, 100, 100));
}

TEST(FileSharing, AppendsOfSeveralProcessesStayWholeLines) {
  pithorama::test::TempFolder folder;
  const std::string log = folder.File("quote.log");
  const std::vector<std::string> tags = {"a", "b", "c", "d"};
  constexpr int kLines = 1000;  // enough for unguarded appends to collide
  for (const std::string& tag : tags)
    StartProbe({"append", log, tag, std::to_string(kLines), folder.File("done-" + tag)});
  for (const std::string& tag : tags) ASSERT_TRUE(AwaitFile(folder.File("done-" + tag)));

  const std::string text = pithorama::test::ReadWholeFile(log);
  const std::string tail = " " + std::string(200, 'x');
  std::map<std::string, std::set<int>> seen;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    std::istringstream line(text.substr(start, end - start));
    std::string tag, rest;
    int number = -1;
    line >> tag >> number;
    std::getline(line, rest);
    ASSERT_EQ(rest, tail) << "torn line: " << text.substr(start, end - start);
    EXPECT_TRUE(seen[tag].insert(number).second) << "duplicate " << tag << " " << number;
  }
  EXPECT_EQ(start, text.size()) << "a piece of a line at the end";
  for (const std::string& tag : tags) EXPECT_EQ(seen[tag].size(), size_t{kLines}) << tag;
}

TEST(FileSharing, RenameReplacesAFileThatAReaderHoldsOpen) {
  pithorama::test::TempFolder folder;
  const std::string index = folder.File("QUOTENDX.DTA"), fresh = folder.File("fresh");
  pithorama::test::WriteWholeFile(index, "old");
  pithorama::test::WriteWholeFile(fresh, "new");
  auto reader = std::make_unique<TFile>();
  ASSERT_TRUE(reader->Open(index, FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting));
  std::thread letGo([&] {
    SleepMs(100);
    reader.reset();
  });
  EXPECT_TRUE(RenameFile(fresh, index));
  letGo.join();
  EXPECT_EQ(pithorama::test::ReadWholeFile(index), "new");
  EXPECT_FALSE(FileExists(fresh));
}

TEST(Files, CreatingAnExistingFileAnswersAnExistsError) {
  pithorama::test::TempFolder folder;
  const std::string path = folder.File("upload.tmp");
  TFile file;
  ASSERT_TRUE(file.Open(path, FileAccess::Write, FileShare::DenyNone, FileCreate::CreateNew));
  file.Close();
  EXPECT_FALSE(file.Open(path, FileAccess::Write, FileShare::DenyNone, FileCreate::CreateNew));
  EXPECT_TRUE(IsFileExistsError(file.LastError())) << SystemErrorText(file.LastError());
  EXPECT_FALSE(SystemErrorText(file.LastError()).empty());
}

// Opening to create always leaves a file empty, whether it existed with
// content, existed empty or did not exist, and with or without a sharing lock.
TEST(Files, CreateAlwaysLeavesTheFileEmpty) {
  pithorama::test::TempFolder folder;
  for (FileCreate create : {FileCreate::CreateAlways, FileCreate::CreatePrivate})
    for (FileShare share : {FileShare::DenyNone, FileShare::DenyWrite})
      for (const char* before : {"old answer", "", static_cast<const char*>(nullptr)}) {
        const std::string path = folder.File("answer.out");
        DeleteFile(path);
        if (before) pithorama::test::WriteWholeFile(path, before);
        TFile file;
        ASSERT_TRUE(file.Open(path, FileAccess::Write, share, create));
        ASSERT_TRUE(file.Write(std::string("new")));
        file.Close();
        EXPECT_EQ(pithorama::test::ReadWholeFile(path), "new")
            << "before: " << (before ? before : "(none)");
      }
}

TEST(DetachedProcess, ArgumentsAndEnvironmentArriveUnchanged) {
  pithorama::test::TempFolder folder;
  const std::string report = folder.File("report");
  const std::vector<std::string> arguments = {"plain",           "two words",     "",
                                              R"(quote"inside)", R"(back\slash)", R"(trailing\)",
                                              R"(both\"end\\)"};
  std::vector<std::string> all = {"report", report};
  all.insert(all.end(), arguments.begin(), arguments.end());
  ASSERT_TRUE(StartDetachedProcess(Probe(), all, {"MARK=m x=y"}));
  ASSERT_TRUE(AwaitFile(report));
  std::string expected = "MARK=m x=y\n";
  for (const std::string& argument : arguments) expected += "[" + argument + "]\n";
  EXPECT_EQ(pithorama::test::ReadWholeFile(report), expected);
}

TEST(StandardOutput, CarriesBytesUntranslated) {
  const pithorama::test::ProgramResult result =
      pithorama::test::RunProgram(Probe(), {"binary"}, {}, "");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output, "handle\r\nstream\r\n");
}

TEST(Termination, DeletesTheRegisteredFilesAndEndsTheProcess) {
  pithorama::test::TempFolder folder;
  const std::string upload = folder.File("1upload.tmp"), kept = folder.File("2kept.tmp");
  pithorama::test::WriteWholeFile(upload, "x");
  pithorama::test::WriteWholeFile(kept, "x");
  const pithorama::test::ProgramResult result =
      pithorama::test::RunProgram(Probe(), {"terminate", upload, kept}, {}, "");
  EXPECT_NE(result.exitCode, 0) << "the process went on after the termination";
  EXPECT_FALSE(FileExists(upload));
  EXPECT_TRUE(FileExists(kept));
}

TEST(WindowTitle, SeenFromAnotherProcessAndGoneWhenItEnds) {
  pithorama::test::TempFolder folder;
  const std::string title = "pithorama_test_probe_" + std::to_string(CurrentProcessId());
  const std::string held = folder.File("held"), release = folder.File("release");
  StartProbe({"title", title, held, release});
  ASSERT_TRUE(AwaitFile(held));
  EXPECT_TRUE(WindowTitleExists(title));

  pithorama::test::WriteWholeFile(release, "");
  bool gone = false;
  for (int waited = 0; waited < 20000 && !gone; waited += 10) {
    gone = !WindowTitleExists(title);
    if (!gone) SleepMs(10);
  }
  EXPECT_TRUE(gone) << "the title outlived its process";
}

TEST(LibraryModule, ModuleFileNameInsideALibraryIsTheLibrarysOwn) {
  const std::string path = BuiltFile(PLATFORM_PROBE_LIBRARY_NAME);
  TDynamicLibrary library;
  ASSERT_TRUE(library.Load(path)) << library.ErrorText();
  using NameProc = const char* (*)();
  auto name = reinterpret_cast<NameProc>(library.Symbol("ProbeModuleFileName"));
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(std::string(name()), path);
  EXPECT_FALSE(IsLibrary());
  EXPECT_EQ(ModuleFileName(), ExecutableFileName());
}

}  // namespace
}  // namespace pithorama
