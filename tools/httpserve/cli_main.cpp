// kvservecli: the serve command on its own, for testing the server without
// the rest of kvhost.
#include <windows.h>
#include <shellapi.h>

#include <memory>

#include "httpserve.h"

namespace {

struct LocalFreer {
  void operator()(LPWSTR* p) const noexcept { LocalFree(p); }
};

}  // namespace

int main() {
  int count = 0;
  const std::unique_ptr<LPWSTR, LocalFreer> argv(CommandLineToArgvW(GetCommandLineW(), &count));
  if (!argv) return 1;
  return ServeCommand(count, argv.get());
}
