// The serve command's options and its entry.

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "httpserve.h"
#include "mtxexclient.h"
#include "sitemap.h"

namespace kvserve {

const char kServeUsage[] =
    "usage: serve [--root DIR] [--port N] [--bind ADDR] [--threads N] [--max-request-bytes N]\n"
    "             [--head-timeout S] [--min-rate B] [--body-grace S] [--max-queue N]\n"
    "             [--queue-timeout S]\n"
    "  --root DIR              the site's folder (default: the current folder)\n"
    "  --port N                TCP port, 0 for any free one (default 8080)\n"
    "  --bind ADDR             numeric IPv4 or IPv6 address (default 127.0.0.1)\n"
    "  --threads N             worker threads, 1 to 64 (default 8)\n"
    "  --max-request-bytes N   largest request body accepted (default 200000000)\n"
    "  --head-timeout S        seconds for a whole request head, else 408 (default 15)\n"
    "  --min-rate B            body bytes per second of waiting a client must keep up\n"
    "                          after the grace period, else 408; 0: no minimum (default 1024)\n"
    "  --body-grace S          seconds of waiting for the body before the rate counts\n"
    "                          (default 10)\n"
    "  --max-queue N           connections that may wait for a worker; more: 503\n"
    "                          (default 256)\n"
    "  --queue-timeout S       seconds a connection may wait for a worker, else 503\n"
    "                          with Retry-After (default 30)\n";

namespace {

// Decimal digits only, within [low, high].
bool ParseNumber(const std::wstring& text, int64_t low, int64_t high, int64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + (c - L'0');
  }
  return value >= low && value <= high;
}

}  // namespace

std::optional<ServeOptions> ParseServeArguments(const std::vector<std::wstring>& args,
                                                std::string& error) {
  ServeOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    std::wstring name = args[i];
    std::wstring value;
    bool haveValue = false;
    if (name == L"-h" || name == L"--help") {
      options.help = true;
      continue;
    }
    if (const size_t equals = name.find(L'='); name.starts_with(L"--") && equals != name.npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
      haveValue = true;
    }
    const bool known =
        name == L"--root" || name == L"--port" || name == L"--bind" || name == L"--threads" ||
        name == L"--max-request-bytes" || name == L"--head-timeout" || name == L"--min-rate" ||
        name == L"--body-grace" || name == L"--max-queue" || name == L"--queue-timeout";
    if (!known) {
      error = "unknown argument " + Utf8(args[i]);
      return std::nullopt;
    }
    if (!haveValue) {
      if (i + 1 >= args.size()) {
        error = Utf8(name) + " needs a value";
        return std::nullopt;
      }
      value = args[++i];
    }
    int64_t number = 0;
    if (name == L"--root") {
      if (value.empty()) {
        error = "--root needs a folder";
        return std::nullopt;
      }
      options.root = value;
    } else if (name == L"--bind") {
      options.bind = Utf8(value);
      if (options.bind.empty()) {
        error = "--bind needs an address";
        return std::nullopt;
      }
    } else if (name == L"--port") {
      if (!ParseNumber(value, 0, 65535, number)) {
        error = "--port takes 0 to 65535";
        return std::nullopt;
      }
      options.port = static_cast<int>(number);
    } else if (name == L"--threads") {
      if (!ParseNumber(value, 1, 64, number)) {
        error = "--threads takes 1 to 64";
        return std::nullopt;
      }
      options.threads = static_cast<int>(number);
    } else if (name == L"--head-timeout" || name == L"--body-grace" || name == L"--queue-timeout") {
      const int64_t low = name == L"--body-grace" ? 0 : 1;
      if (!ParseNumber(value, low, 3600, number)) {
        error = Utf8(name) + " takes " + std::to_string(low) + " to 3600 seconds";
        return std::nullopt;
      }
      const int ms = static_cast<int>(number) * 1000;
      if (name == L"--head-timeout")
        options.headTimeoutMs = ms;
      else if (name == L"--body-grace")
        options.bodyGraceMs = ms;
      else
        options.queueTimeoutMs = ms;
    } else if (name == L"--min-rate") {
      if (!ParseNumber(value, 0, 1000000000, number)) {
        error = "--min-rate takes 0 to 1000000000 bytes per second";
        return std::nullopt;
      }
      options.minRate = number;
    } else if (name == L"--max-queue") {
      if (!ParseNumber(value, 1, 100000, number)) {
        error = "--max-queue takes 1 to 100000";
        return std::nullopt;
      }
      options.maxQueue = static_cast<int>(number);
    } else {
      // A page reads the size as Request.TotalBytes, a 32-bit long.
      if (!ParseNumber(value, 0, 2147483647, number)) {
        error = "--max-request-bytes takes 0 to 2147483647";
        return std::nullopt;
      }
      options.maxRequestBytes = number;
    }
  }
  return options;
}

}  // namespace kvserve

int ServeCommand(int argc, wchar_t** argv) {
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  std::string error;
  const std::optional<kvserve::ServeOptions> options = kvserve::ParseServeArguments(args, error);
  if (!options) {
    std::fprintf(stderr, "serve: %s\n%s", error.c_str(), kvserve::kServeUsage);
    return 2;
  }
  if (options->help) {
    std::fputs(kvserve::kServeUsage, stdout);
    return 0;
  }
  // Once for the process: the upload object finds the object context
  // through it on every page thread.
  const HRESULT loaded = kvstub::LoadMtxex();
  if (FAILED(loaded)) {
    std::fprintf(stderr, "serve: cannot load mtxex.dll beside the program (0x%08lx)\n",
                 static_cast<unsigned long>(loaded));
    return 1;
  }
  return kvserve::Serve(*options, kvasp::RunPage);
}
