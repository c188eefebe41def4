// kvaspcli PAGE [options]: the `run` command on its own, for trying pages and
// for the tests. Runs as Windows NT 4.0 under Wine, so that components reach
// the page's object context through the stand-in mtxex.dll beside it.
#include <windows.h>
#include <shellapi.h>

#include "asphost.h"

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return 2;
  const int status = kvasp::RunPageCommand(argc, argv);
  LocalFree(argv);
  return status;
}
