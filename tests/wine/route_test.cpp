// Which road to the object context the component takes, in processes that
// differ in the Windows version they report and in whether mtxex.dll is
// loaded. Built once per kind of process: KV_EXPECTED_ROUTE names the road,
// KV_REPORTS_NT4 says whether the process runs as Windows NT 4.0.
#include <gtest/gtest.h>

#include <optional>

#include "host/aspcontext.h"
#include "server/exceptions.h"
#include "testsupport.h"

namespace {

constexpr kvp::ContextRoute kExpected = kvp::ContextRoute::KV_EXPECTED_ROUTE;

TEST(Route, IsChosenByVersionAndLoadedModules) {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  ASSERT_TRUE(GetVersionExA(&version));
  ASSERT_EQ(version.dwMajorVersion == 4, KV_REPORTS_NT4 != 0) << version.dwMajorVersion;
  EXPECT_EQ(kvp::ObjectContextRoute(), kExpected);
}

// Only the old route reaches the stand-in host; without it the context is
// empty and the creation fails before the host is asked anything. The
// component never loads mtxex.dll itself.
TEST(Route, CreationReachesTheHostOnlyThroughMtxex) {
  kvstub::StubHost host;
  host.SetBody("x");
  const bool mtxexLoaded = GetModuleHandleA("mtxex.dll") != nullptr;
  std::optional<kvstub::ContextScope> scope;
  if (mtxexLoaded) scope.emplace(host.Context());
  {
    kvp::Tprocess p;
    if (kExpected == kvp::ContextRoute::Mtxex) {
      EXPECT_NO_THROW(p.Initialize());
      EXPECT_EQ(host.Count("TotalBytes"), 1);
    } else {
      EXPECT_THROW(p.Initialize(), kvp::Exception);
      EXPECT_TRUE(host.Calls().empty());
    }
  }
  EXPECT_EQ(GetModuleHandleA("mtxex.dll") != nullptr, mtxexLoaded);
}

}  // namespace
