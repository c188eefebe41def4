// Entry of the test programs that run under Wine. The tests run in a
// single-threaded apartment, as an ASP page's script does. A program that
// plays an old MTS host (KV_LOAD_MTXEX) loads the stand-in mtxex.dll before
// any upload object looks for it.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <cstdio>

#ifdef KV_LOAD_MTXEX
#include "mtxexclient.h"
#endif

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(com)) {
    std::fprintf(stderr, "CoInitializeEx failed: 0x%08lX\n", static_cast<unsigned long>(com));
    return 1;
  }
#ifdef KV_LOAD_MTXEX
  const HRESULT loaded = kvstub::LoadMtxex();
  if (FAILED(loaded)) {
    std::fprintf(stderr, "cannot load the stand-in mtxex.dll: 0x%08lX\n",
                 static_cast<unsigned long>(loaded));
    CoUninitialize();
    return 1;
  }
#endif
  const int result = RUN_ALL_TESTS();
  CoUninitialize();
  return result;
}
