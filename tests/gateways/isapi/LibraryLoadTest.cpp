// A library build loaded the way an ISAPI server loads it (a DLL on Windows,
// a shared object elsewhere): only the entry points are exported, a request
// runs through them, and TerminateExtension ends the library before it is
// unloaded.
#include <gtest/gtest.h>

#include "pithorama/gateways/isapi/IsapiRecords.h"
#include "pithorama/platform/Library.h"
#include "tests/gateways/isapi/FakeServer.h"
#include "tests/support/Process.h"

using namespace pithorama;
using namespace pithorama::isapi;

namespace {

const std::string kProbe = pithorama::test::LibraryDir() + "/" + ISAPI_PROBE_FILE;

template <class Proc>
Proc Entry(const TDynamicLibrary& library, const char* name) {
  return reinterpret_cast<Proc>(library.Symbol(name));
}

TEST(IsapiLibrary, LoadedServedTerminatedUnloaded) {
  pithorama::test::TempFolder folder;
  const std::string events = folder.File("events");
  pithorama::test::SetEnvironment("ISAPI_PROBE_EVENTS", events);
  pithorama::test::SetEnvironment("CGI_LOG_DIR", folder.Path());
  {
    TDynamicLibrary library;
    ASSERT_TRUE(library.Load(kProbe)) << kProbe << ": " << library.ErrorText();
    for (const char* name : {"GetExtensionVersion", "HttpExtensionProc", "GetFilterVersion",
                             "HttpFilterProc", "TerminateExtension", "NsapiService"})
      EXPECT_NE(library.Symbol(name), nullptr) << name;
    EXPECT_EQ(library.Symbol("_ZN9pithorama12LibraryStartEv"), nullptr) << "not an entry point";

    THSE_VERSION_INFO version{};
    ASSERT_TRUE(Entry<TGetExtensionVersionProc>(library, "GetExtensionVersion")(&version));
    pithorama::test::FakeServer server;
    server.query = "a=1&b=two";
    const DWORD status =
        Entry<THttpExtensionProcProc>(library, "HttpExtensionProc")(&server.Block());
    EXPECT_NE(status, HSE_STATUS_ERROR);
    EXPECT_NE(server.output.find("a=1\nb=two\n"), std::string::npos) << server.output;
    // An advisory unload that the library declines leaves it serving.
    EXPECT_EQ(
        Entry<TTerminateExtensionProc>(library, "TerminateExtension")(HSE_TERM_ADVISORY_UNLOAD), 0);
    pithorama::test::FakeServer again;
    again.query = "c=3";
    EXPECT_NE(Entry<THttpExtensionProcProc>(library, "HttpExtensionProc")(&again.Block()),
              HSE_STATUS_ERROR);
    EXPECT_NE(again.output.find("c=3\n"), std::string::npos) << again.output;
    Entry<TTerminateExtensionProc>(library, "TerminateExtension")(HSE_TERM_MUST_UNLOAD);
  }
  // The first request and the end of the library, each once.
  std::string recorded = pithorama::test::ReadWholeFile(events);  // text mode: CR LF on Windows
  std::erase(recorded, '\r');
  EXPECT_EQ(recorded, "first\nlast\n");
  pithorama::test::UnsetEnvironment("ISAPI_PROBE_EVENTS");
  pithorama::test::UnsetEnvironment("CGI_LOG_DIR");
}

}  // namespace
