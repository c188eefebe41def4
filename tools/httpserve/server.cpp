// The listener, the pool of worker threads (each a single-threaded
// apartment) and the handling of one request after another on a connection.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "connection.h"
#include "httpparse.h"
#include "httpserve.h"
#include "lingerer.h"
#include "mimetypes.h"
#include "pageio.h"
#include "server/oleptr.h"
#include "sitemap.h"
#include "sitepath.h"
#include "waitingline.h"

namespace kvserve {

namespace {

constexpr int kIoTimeoutMs = 60 * 1000;  // one recv or send on a connection
constexpr int kKeepAliveMs = 5 * 1000;   // an idle persistent connection
constexpr int kMaxRequestsPerConnection = 1000;
constexpr size_t kFileChunk = 64 * 1024;
constexpr size_t kMaxLingering = 256;  // connections closing gently at once
constexpr int kRetryAfterSeconds = 5;  // told to a client refused for want of a worker

// Index documents of a folder, in order of preference.
constexpr const char* kIndexNames[] = {"default.asp", "index.html", "index.htm", "default.htm"};

std::atomic<bool> stopRequested{false};

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      stopRequested = true;
      return TRUE;
    default:
      return FALSE;
  }
}

// Lines on stderr, whole, from any thread.
class Log {
 public:
  void Line(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
  }

 private:
  std::mutex mutex_;
};

std::string Clip(std::string_view text, size_t max) {
  std::string clipped;
  for (char c : text.substr(0, max)) {
    const auto u = static_cast<unsigned char>(c);
    clipped += (u < 0x20 || u == 0x7F) ? '?' : c;
  }
  if (text.size() > max) clipped += "...";
  return clipped;
}

std::string Timestamp() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond);
  return text;
}

std::string HostName(const std::string& host) {
  // "name:port" or "[v6]:port" -> name / [v6]
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    return close == std::string::npos ? host : host.substr(0, close + 1);
  }
  return host.substr(0, host.find(':'));
}

// One request's outcome as the log line tells it.
struct Record {
  std::string requestLine = "-";
  int status = 0;
  int64_t bytesIn = 0;
  uint64_t bytesOut = 0;
  std::string note;

  void AddNote(const std::string& text) {
    if (!note.empty()) note += "; ";
    note += text;
  }
};

std::string LogLine(const std::string& peer, const Record& record, int64_t ms) {
  std::string line = Timestamp() + " " + peer + " \"" + record.requestLine + "\" " +
                     std::to_string(record.status) + " in=" + std::to_string(record.bytesIn) +
                     " out=" + std::to_string(record.bytesOut) + " " + std::to_string(ms) + "ms";
  if (!record.note.empty()) line += " (" + Clip(record.note, 300) + ")";
  return line;
}

std::string Seconds(int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
  return text;
}

// Why a body was cut off, for the log.
std::string SlowNote(const ConnectionBody& body) {
  const BodyPace& pace = body.Pace();
  return "request body too slow: " + std::to_string(body.Received()) + " of " +
         std::to_string(body.Received() + body.Remaining()) + " bytes, " +
         Seconds(pace.WaitedMs()) + " spent waiting (at least " + std::to_string(pace.MinRate()) +
         " bytes/s after " + Seconds(pace.GraceMs()) + ")";
}

class Site {
 public:
  Site(const ServeOptions& options, const SiteRoot& root, const PageRunner& runner, Log& log,
       Lingerer& lingerer, int port)
      : options_(options),
        root_(root),
        runner_(runner),
        log_(log),
        lingerer_(lingerer),
        port_(port) {}

  void ServeConnection(Connection& connection, WaitingLine& queue) {
    for (int n = 0; n < kMaxRequestsPerConnection && !stopRequested; ++n) {
      if (n > 0 && !AwaitNextRequest(connection, queue)) break;
      if (!ServeRequest(connection)) break;
    }
    // Whatever the client still sends is not read: end without a reset that
    // could destroy the response before the client reads it. The listener
    // does the waiting; this worker is free at once.
    lingerer_.Add(connection.TakeSocket());
  }

 private:
  // A persistent connection waits for its next request, but not past the
  // idle limit, nor while other connections wait for a worker.
  bool AwaitNextRequest(Connection& connection, WaitingLine& queue) {
    for (int waited = 0; waited < kKeepAliveMs; waited += 100) {
      if (connection.WaitForRequest(100)) return true;
      if (stopRequested || connection.Gone() || queue.HasWaiting()) return false;
    }
    return false;
  }

  void Write(const Connection& connection, const Record& record,
             std::chrono::steady_clock::time_point start) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    log_.Line(LogLine(connection.Peer(), record, ms));
  }

  // Answers with one of the server's own responses. Returns whether the
  // connection carries on.
  bool Answer(Connection& connection, ConnectionBody& body, const RequestMeta& meta, Record& record,
              SimpleResponse response, bool headOnly, bool forceClose) {
    const bool close = forceClose || !meta.keepAlive || body.RestForcesClose();
    record.status = response.status;
    record.bytesOut = headOnly ? 0 : response.body.size();
    if (!SendSimple(connection, response, headOnly, close)) return false;
    return Finish(body, record, !close);
  }

  // After a response: a short unread body is dropped so that the next
  // request can follow; otherwise the connection ends.
  bool Finish(ConnectionBody& body, Record& record, bool keep) {
    if (keep && body.Remaining() > 0) keep = body.Drain();
    record.bytesIn = body.Received();
    if (body.TooSlow()) record.AddNote(SlowNote(body));
    return keep;
  }

  bool Error(Connection& connection, ConnectionBody& body, const RequestMeta& meta, Record& record,
             int status, std::string why, bool headOnly = false, bool forceClose = false) {
    record.note = std::move(why);
    return Answer(connection, body, meta, record, ErrorResponse(status), headOnly, forceClose);
  }

  // Returns whether the connection carries on.
  bool ServeRequest(Connection& connection) {
    const auto start = std::chrono::steady_clock::now();
    Record record;
    std::string headText;
    RequestMeta meta;
    meta.keepAlive = false;
    ConnectionBody none(connection, 0, false, BodyPace(0, 0, 0));
    switch (connection.ReadHead(headText, kMaxHeadBytes, options_.headTimeoutMs)) {
      case Connection::HeadResult::Ready:
        break;
      case Connection::HeadResult::Closed:
        return false;
      case Connection::HeadResult::TimedOut:
        Error(connection, none, meta, record, 408,
              "request head not complete within " + Seconds(options_.headTimeoutMs));
        Write(connection, record, start);
        return false;
      case Connection::HeadResult::TooLarge:
        Error(connection, none, meta, record, 431, "request head too large", false, true);
        Write(connection, record, start);
        return false;
      case Connection::HeadResult::Failed:
        record.note = "connection ended inside the request head";
        Write(connection, record, start);
        return false;
    }

    RequestHead head;
    if (Verdict v = ParseHead(headText, head)) {
      record.requestLine = Clip(headText.substr(0, headText.find('\n')), 200);
      Error(connection, none, meta, record, v.status, v.why, false, true);
      Write(connection, record, start);
      return false;
    }
    record.requestLine =
        Clip(head.method + " " + head.target + " HTTP/" + std::to_string(head.versionMajor) + "." +
                 std::to_string(head.versionMinor),
             300);
    if (Verdict v = InterpretHead(head, meta)) {
      Error(connection, none, meta, record, v.status, v.why, false, true);
      Write(connection, record, start);
      return false;
    }
    const bool headOnly = head.method == "HEAD";
    if (meta.contentLength > options_.maxRequestBytes) {
      // Refused before a byte of the body is read.
      Error(connection, none, meta, record, 413,
            "Content-Length " + std::to_string(meta.contentLength) + " above the limit of " +
                std::to_string(options_.maxRequestBytes),
            headOnly, true);
      Write(connection, record, start);
      return false;
    }
    ConnectionBody body(connection, meta.contentLength, meta.expectContinue,
                        BodyPace(options_.minRate, options_.bodyGraceMs, kIoTimeoutMs));
    const bool keep = Dispatch(connection, head, meta, body, record, headOnly);
    Write(connection, record, start);
    return keep;
  }

  bool Dispatch(Connection& connection, const RequestHead& head, const RequestMeta& meta,
                ConnectionBody& body, Record& record, bool headOnly) {
    if (!IsKnownMethod(head.method))
      return Error(connection, body, meta, record, 501, "unknown method", headOnly);
    TargetPath target;
    if (Verdict v = ParseTarget(head.target, target))
      return Error(connection, body, meta, record, v.status, v.why, headOnly);

    SiteRoot::Entry entry = root_.Open(target.segments);
    std::string urlPath = target.Path();
    if (entry.kind == SiteRoot::Entry::Kind::Folder) {
      if (!target.trailingSlash) {
        SimpleResponse moved = ErrorResponse(301);
        std::string location = target.EncodedPath() + "/";
        if (!target.query.empty()) location += "?" + target.query;
        moved.headers.emplace_back("Location", location);
        record.note = "folder";
        return Answer(connection, body, meta, record, std::move(moved), headOnly, false);
      }
      SiteRoot::Entry index;
      for (const char* name : kIndexNames) {
        std::vector<std::string> segments = target.segments;
        segments.emplace_back(name);
        index = root_.Open(segments);
        if (index.kind == SiteRoot::Entry::Kind::File) {
          urlPath += name;
          break;
        }
      }
      if (index.kind != SiteRoot::Entry::Kind::File)
        return Error(connection, body, meta, record, 403, "folder without an index document",
                     headOnly);
      entry = std::move(index);
    }
    switch (entry.kind) {
      case SiteRoot::Entry::Kind::Missing:
        return Error(connection, body, meta, record, 404, entry.why, headOnly);
      case SiteRoot::Entry::Kind::Forbidden:
        return Error(connection, body, meta, record, 403, entry.why, headOnly);
      default:
        break;
    }
    // The application file and include files hold script source.
    if (entry.extension == ".asa" || entry.extension == ".inc")
      return Error(connection, body, meta, record, 404, "protected file type", headOnly);

    if (entry.extension == ".asp") {
      if (head.method != "GET" && head.method != "HEAD" && head.method != "POST") {
        SimpleResponse refused = ErrorResponse(405);
        refused.headers.emplace_back("Allow", "GET, HEAD, POST");
        return Answer(connection, body, meta, record, std::move(refused), headOnly, false);
      }
      return RunPage(connection, head, meta, body, record, entry, urlPath, target.query, headOnly);
    }
    if (head.method != "GET" && head.method != "HEAD") {
      SimpleResponse refused = ErrorResponse(405);
      refused.headers.emplace_back("Allow", "GET, HEAD");
      return Answer(connection, body, meta, record, std::move(refused), headOnly, false);
    }
    return SendFile(connection, meta, body, record, entry, headOnly);
  }

  bool SendFile(Connection& connection, const RequestMeta& meta, ConnectionBody& body,
                Record& record, const SiteRoot::Entry& entry, bool headOnly) {
    const bool close = !meta.keepAlive || body.RestForcesClose();
    SYSTEMTIME modified{};
    FileTimeToSystemTime(&entry.modified, &modified);
    std::string head =
        "HTTP/1.1 200 OK\r\nDate: " + HttpDate() +
        "\r\nServer: kvhost\r\nContent-Type: " + std::string(ContentTypeFor(entry.extension)) +
        "\r\nContent-Length: " + std::to_string(entry.size) +
        "\r\nLast-Modified: " + HttpDate(modified) +
        (close ? "\r\nConnection: close\r\n\r\n" : "\r\nConnection: keep-alive\r\n\r\n");
    record.status = 200;
    if (headOnly) return connection.SendAll(head) && Finish(body, record, !close);

    std::vector<char> chunk(kFileChunk);
    uint64_t left = entry.size;
    bool first = true;
    while (left > 0) {
      DWORD got = 0;
      const DWORD want = static_cast<DWORD>(std::min<uint64_t>(left, chunk.size()));
      if (!ReadFile(entry.handle.Get(), chunk.data(), want, &got, nullptr) || got == 0) {
        // The file shrank or failed under us: the declared length cannot be
        // kept, so the connection ends.
        record.note = "file read failed";
        if (first) {
          record.status = 500;
          return Error(connection, body, meta, record, 500, "file read failed", false, true);
        }
        return false;
      }
      std::string_view piece(chunk.data(), got);
      if (first) {
        head.append(piece);
        piece = head;
        first = false;
      }
      if (!connection.SendAll(piece)) {
        record.note = "client gone";
        return false;
      }
      record.bytesOut += got;
      left -= got;
    }
    if (first && !connection.SendAll(head)) return false;
    return Finish(body, record, !close);
  }

  bool RunPage(Connection& connection, const RequestHead& head, const RequestMeta& meta,
               ConnectionBody& body, Record& record, const SiteRoot::Entry& entry,
               const std::string& urlPath, const std::string& query, bool headOnly) {
    kvasp::PageRequest request;
    request.method = head.method;
    request.urlPath = urlPath;
    request.queryString = query;
    request.headers = head.headers;
    request.siteRoot = root_.Path();
    request.pagePath = entry.path;
    request.serverName = HostName(meta.host);
    if (request.serverName.empty()) request.serverName = options_.bind;
    request.serverPort = port_;
    request.remoteAddr = connection.Peer().substr(0, connection.Peer().rfind(':'));
    if (!request.remoteAddr.empty() && request.remoteAddr.front() == '[')
      request.remoteAddr = request.remoteAddr.substr(1, request.remoteAddr.size() - 2);

    ConnectionResponse response(connection, &body, head.versionMinor, headOnly, meta.keepAlive);
    try {
      const kvasp::PageOutcome outcome = runner_(request, body, response);
      if (!outcome.ok && !outcome.errors.empty()) {
        const kvasp::ScriptFailure& failure = outcome.errors.front();
        record.note = "script error " + std::to_string(failure.number) + " at line " +
                      std::to_string(failure.line) + ": " + Utf8(failure.description);
      }
    } catch (const std::exception& e) {
      record.note = std::string("page runner failed: ") + e.what();
    } catch (...) {
      record.note = "page runner failed";
    }
    if (!connection.Expired() && !connection.Alive() && body.Remaining() > 0)
      record.AddNote("client gone after " + std::to_string(body.Received()) + " of " +
                     std::to_string(meta.contentLength) + " body bytes");
    const bool keep = response.Finish();
    record.status = response.Status();
    record.bytesOut = response.BodyBytes();
    return Finish(body, record, keep);
  }

  const ServeOptions& options_;
  const SiteRoot& root_;
  const PageRunner& runner_;
  Log& log_;
  Lingerer& lingerer_;
  int port_;
};

// Answers a connection that no worker will take with 503, from the listener
// thread: the socket does not block, and the response is small enough for
// the socket's send buffer.
void Refuse(Accepted& item, const std::string& why, Log& log, Lingerer& lingerer) {
  u_long nonBlocking = 1;
  ioctlsocket(item.socket.Get(), FIONBIO, &nonBlocking);
  SimpleResponse busy = ErrorResponse(503);
  busy.headers.emplace_back("Retry-After", std::to_string(kRetryAfterSeconds));
  const std::string message = SimpleMessage(busy, false, true);
  const int sent = send(item.socket.Get(), message.data(), static_cast<int>(message.size()), 0);
  Record record;
  record.status = 503;
  record.bytesOut = sent > 0 ? busy.body.size() : 0;
  record.note = why;
  log.Line(LogLine(item.peer, record, 0));
  lingerer.Add(std::move(item.socket));
}

std::string AddressText(const sockaddr* address, int* port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    *port = ntohs(v6->sin6_port);
    return std::string("[") + text + "]";
  }
  const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
  inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
  *port = ntohs(v4->sin_port);
  return text;
}

}  // namespace

int Serve(const ServeOptions& options, const PageRunner& runner, const ServeHooks& hooks) {
  WinsockSession winsock;
  if (winsock.Status() != 0) {
    std::fprintf(stderr, "serve: Winsock does not start (%d)\n", winsock.Status());
    return 1;
  }
  const SiteRoot root(options.root);
  if (!root.Error().empty()) {
    std::fprintf(stderr, "serve: %s: %s\n", Utf8(options.root).c_str(), Utf8(root.Error()).c_str());
    return 1;
  }

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(options.port);
  if (getaddrinfo(options.bind.c_str(), service.c_str(), &hints, &found) != 0 || !found) {
    std::fprintf(stderr, "serve: %s is not a numeric IPv4 or IPv6 address\n", options.bind.c_str());
    return 1;
  }
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> address(found, freeaddrinfo);
  UniqueSocket listener(socket(address->ai_family, address->ai_socktype, address->ai_protocol));
  if (!listener) {
    std::fprintf(stderr, "serve: no socket (%d)\n", WSAGetLastError());
    return 1;
  }
  // No other program may take the same address and port meanwhile.
  const BOOL exclusive = TRUE;
  setsockopt(listener.Get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
             reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  if (bind(listener.Get(), address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0 ||
      listen(listener.Get(), SOMAXCONN) != 0) {
    std::fprintf(stderr, "serve: cannot listen on %s port %d (%d)\n", options.bind.c_str(),
                 options.port, WSAGetLastError());
    return 1;
  }
  sockaddr_storage bound{};
  int boundLength = sizeof bound;
  getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&bound), &boundLength);
  int port = 0;
  const std::string host = AddressText(reinterpret_cast<const sockaddr*>(&bound), &port);

  stopRequested = false;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  std::printf("Serving %s at http://%s:%d/\n", Utf8(root.Path()).c_str(), host.c_str(), port);
  std::fflush(stdout);

  Log log;
  Lingerer lingerer(kMaxLingering);
  Site site(options, root, runner, log, lingerer, port);
  WaitingLine queue(static_cast<size_t>(options.maxQueue));
  const auto queueTimeout = std::chrono::milliseconds(options.queueTimeoutMs);
  std::vector<std::thread> workers;
  for (int i = 0; i < options.threads; ++i) {
    workers.emplace_back([&] {
      const kvp::ComApartment apartment;
      if (FAILED(apartment.Status())) {
        char text[96];
        std::snprintf(text, sizeof text, "worker: no single-threaded apartment (0x%08lx)",
                      static_cast<unsigned long>(apartment.Status()));
        log.Line(text);
        return;
      }
      while (std::optional<Accepted> item = queue.Pop()) {
        // A failure (out of memory) ends this connection, not the server.
        try {
          Connection connection(std::move(item->socket), item->peer, kIoTimeoutMs);
          site.ServeConnection(connection, queue);
        } catch (const std::exception& e) {
          log.Line(Timestamp() + " " + item->peer + " connection failed: " + e.what());
        } catch (...) {
          log.Line(Timestamp() + " " + item->peer + " connection failed");
        }
      }
    });
  }

  if (hooks.ready) hooks.ready(port);
  while (!stopRequested) {
    if (hooks.stop && hooks.stop->load()) {
      stopRequested = true;
      break;
    }
    // Connections closing gently are looked after between accepts.
    const bool lingering = lingerer.Poll();
    for (Accepted& late : queue.TakeOverdue(queueTimeout))
      Refuse(late, "no worker free within " + Seconds(options.queueTimeoutMs), log, lingerer);
    const int ready = WaitReadable(listener.Get(), lingering ? 50 : 200);
    if (ready < 0) break;
    if (ready == 0) continue;
    sockaddr_storage peer{};
    int peerLength = sizeof peer;
    UniqueSocket client(accept(listener.Get(), reinterpret_cast<sockaddr*>(&peer), &peerLength));
    if (!client) continue;
    Accepted item;
    int peerPort = 0;
    const std::string peerAddress =
        AddressText(reinterpret_cast<const sockaddr*>(&peer), &peerPort);
    item.peer = peerAddress + ":" + std::to_string(peerPort);
    item.socket = std::move(client);
    if (!queue.Push(item)) {
      Refuse(item, "no worker free and " + std::to_string(options.maxQueue) + " waiting already",
             log, lingerer);
    }
  }
  queue.Stop();
  for (std::thread& worker : workers) worker.join();
  // Responses still in flight get their bounded moment.
  for (int i = 0; i < 60 && lingerer.Poll(); ++i) Sleep(50);
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  return 0;
}

}  // namespace kvserve
