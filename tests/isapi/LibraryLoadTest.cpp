// A library build loaded the way an ISAPI server loads it (a DLL on Windows,
// a shared object elsewhere): only the entry points are exported, a request
// runs through them, TerminateExtension ends the library, and the library
// can be loaded again after it was unloaded.
#include <gtest/gtest.h>

#include "gateways/IsapiRecords.h"
#include "platform/Library.h"
#include "tests/isapi/FakeServer.h"
#include "tests/support/Process.h"

using namespace pithorama;
using namespace pithorama::isapi;

namespace {

const std::string kProbe = testsupport::LibraryDir() + "/" + ISAPI_PROBE_FILE;

template <class Proc>
Proc Entry(const TDynamicLibrary& library, const char* name) {
  return reinterpret_cast<Proc>(library.Symbol(name));
}

TEST(IsapiLibrary, LoadedServedTerminatedUnloadedTwice) {
  testsupport::TempFolder folder;
  const std::string events = folder.File("events");
  testsupport::SetEnvironment("ISAPI_PROBE_EVENTS", events);
  testsupport::SetEnvironment("CGI_LOG_DIR", folder.Path());
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    TDynamicLibrary library;
    ASSERT_TRUE(library.Load(kProbe)) << kProbe << ": " << library.ErrorText();
    for (const char* name : {"GetExtensionVersion", "HttpExtensionProc", "GetFilterVersion",
                             "HttpFilterProc", "TerminateExtension", "NsapiService"})
      EXPECT_NE(library.Symbol(name), nullptr) << name;
    EXPECT_EQ(library.Symbol("_ZN9pithorama12LibraryStartEv"), nullptr) << "not an entry point";

    THSE_VERSION_INFO version{};
    ASSERT_TRUE(Entry<TGetExtensionVersionProc>(library, "GetExtensionVersion")(&version));
    isapitest::FakeServer server;
    server.query = "a=1&b=two";
    const DWORD status =
        Entry<THttpExtensionProcProc>(library, "HttpExtensionProc")(&server.Block());
    EXPECT_NE(status, HSE_STATUS_ERROR);
    EXPECT_NE(server.output.find("a=1\nb=two\n"), std::string::npos) << server.output;
    Entry<TTerminateExtensionProc>(library, "TerminateExtension")(HSE_TERM_MUST_UNLOAD);
    library.Unload();
    // The first request and the end of the library, once per load.
    std::string expected;
    for (int i = 0; i < round; ++i) expected += "first\nlast\n";
    std::string recorded = testsupport::ReadWholeFile(events);  // text mode: CR LF on Windows
    std::erase(recorded, '\r');
    EXPECT_EQ(recorded, expected);
  }
  testsupport::UnsetEnvironment("ISAPI_PROBE_EVENTS");
  testsupport::UnsetEnvironment("CGI_LOG_DIR");
}

}  // namespace
