// kvhost serve: a small HTTP/1.1 server for a local ASP site. Static files
// go out as they are; .asp pages run through the page runner (kvasp::RunPage)
// on a pool of worker threads, each in its own single-threaded apartment as
// ASP's are, and a page's Request.BinaryRead pulls the body from the client's
// connection as it asks for it.
//
//   serve [--root DIR] [--port N] [--bind ADDR] [--threads N]
//         [--max-request-bytes N] [--head-timeout S] [--min-rate B]
//         [--body-grace S] [--max-queue N] [--queue-timeout S]
//
// No client holds a worker for long by being slow: the head must be
// complete within the head timeout (else 408), and the body must keep up a
// minimum rate after a grace period (else the page sees a client that has
// hung up and the client gets 408). Connections wait for a worker in a
// bounded line, for a bounded time (else 503 with Retry-After). What the
// server holds per connection is bounded: a 64 KiB receive buffer (a head
// above 32 KiB: 431), the body pulled in the page's pieces, and response
// bytes gathered up to about 32 KiB before they go out.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "asphost.h"

namespace kvserve {

struct ServeOptions {
  std::wstring root;  // the site's folder; empty: the current folder
  std::string bind = "127.0.0.1";
  int port = 8080;  // 0: any free port (the one chosen is printed)
  int threads = 8;
  int64_t maxRequestBytes = 200LL * 1000 * 1000;
  int headTimeoutMs = 15 * 1000;   // the whole request head
  int64_t minRate = 1024;          // body bytes per second of waiting; 0: no minimum
  int bodyGraceMs = 10 * 1000;     // waiting for the body allowed before the rate counts
  int maxQueue = 256;              // connections waiting for a worker
  int queueTimeoutMs = 30 * 1000;  // how long one may wait
  bool help = false;
};

extern const char kServeUsage[];

// The options after the command's name; nothing (and the reason) when they
// do not read.
std::optional<ServeOptions> ParseServeArguments(const std::vector<std::wstring>& args,
                                                std::string& error);

using PageRunner = std::function<kvasp::PageOutcome(const kvasp::PageRequest&, kvasp::BodySource&,
                                                    kvasp::ResponseSink&)>;

// For a caller that runs the server in its own process (tests).
struct ServeHooks {
  std::function<void(int port)> ready;      // once listening, with the port
  const std::atomic<bool>* stop = nullptr;  // serving ends soon after it turns true
};

// Serves until Ctrl+C (or the console closes, or hooks.stop). Prints
// "Serving DIR at URL" on stdout when it listens and one line per request on
// stderr. Returns the process exit code: 0 after a stop, 1 when it cannot
// start. The caller has loaded the stand-in mtxex.dll.
int Serve(const ServeOptions& options, const PageRunner& runner, const ServeHooks& hooks = {});

}  // namespace kvserve

// The serve command: argv[0] names the command (the program or "serve"), the
// options follow. Loads mtxex.dll once for the process and serves with
// kvasp::RunPage. Returns the exit code (2: usage error).
int ServeCommand(int argc, wchar_t** argv);
