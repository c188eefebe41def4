// A request's body and response on a client connection, as the page runner
// sees them: the body is pulled from the socket only when the page reads it
// (Request.BinaryRead), and the response is framed for HTTP/1.1 (the page's
// Content-Length, else chunked; HTTP/1.0: delimited by closing).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "asphost.h"
#include "bodypace.h"
#include "connection.h"

namespace kvserve {

// Bodies up to this size that nobody read are read and dropped after the
// response so that the connection can serve the next request; a larger rest
// closes the connection.
constexpr int64_t kDrainLimit = 64 * 1024;

// The body's bytes come at the pace the BodyPace allows. A client that falls
// below it is treated as one that has hung up: the read that runs out of
// time returns -1 (Request.BinaryRead then delivers what came before),
// the connection expires (Response.IsClientConnected turns False), and the
// response the page makes is replaced by 408 unless some of it is out
// already.
class ConnectionBody : public kvasp::BodySource {
 public:
  // expectContinue: the client waits for "100 Continue" before it sends the
  // body; it goes out with the first read.
  ConnectionBody(Connection& connection, int64_t length, bool expectContinue, BodyPace pace);

  int64_t TotalBytes() override { return length_; }
  int64_t Read(uint8_t* buffer, int64_t max) override;
  bool Connected() override { return connection_.Alive(); }

  int64_t Received() const noexcept { return received_; }
  int64_t Remaining() const noexcept { return length_ - received_; }
  // Whether the rest of the body is too much to drain, or may never come
  // (the client still waits for 100 Continue): the connection must close.
  bool RestForcesClose() const noexcept;
  // Reads and drops the rest (at most kDrainLimit); false if it fails.
  bool Drain();
  // Whether the client ran out of time while the body was read.
  bool TooSlow() const noexcept { return tooSlow_; }
  const BodyPace& Pace() const noexcept { return pace_; }
  // Once the response's head has gone out an interim response can no
  // longer precede it.
  void ForbidContinue() noexcept { continueAllowed_ = false; }

 private:
  Connection& connection_;
  int64_t length_;
  int64_t received_ = 0;
  BodyPace pace_;
  bool tooSlow_ = false;
  bool awaitingContinue_;
  bool continueAllowed_ = true;
};

class ConnectionResponse : public kvasp::ResponseSink {
 public:
  // versionMinor: the request's HTTP/1.x; headOnly: a HEAD request (no body
  // goes out); keepAlive: the client allows persistence.
  ConnectionResponse(Connection& connection, ConnectionBody* body, int versionMinor, bool headOnly,
                     bool keepAlive);

  void Begin(int status, const std::string& reason,
             const std::vector<kvasp::Header>& headers) override;
  bool Send(const uint8_t* data, size_t size) override;
  bool Connected() override { return connection_.Alive(); }

  // Completes the message (begins a 500 if the page never began one; sends
  // 408 instead when the client was too slow and nothing has gone out).
  // Returns whether the connection can carry another request.
  bool Finish();

  int Status() const noexcept { return status_; }
  uint64_t BodyBytes() const noexcept { return bodyBytes_; }

 private:
  enum class Framing { Length, Chunked, UntilClose, None };
  bool SendNow(std::string_view bytes);
  bool Flush();
  bool FlushChunk();
  bool WriteChunk(std::string_view data);

  Connection& connection_;
  ConnectionBody* body_;
  int versionMinor_;
  bool headOnly_;
  bool keepAlive_;
  bool began_ = false;
  bool closeAfter_ = false;
  bool failed_ = false;
  bool sentAny_ = false;  // some bytes of the response were handed to the socket
  int status_ = 0;
  Framing framing_ = Framing::None;
  int64_t declaredLength_ = 0;
  uint64_t bodyBytes_ = 0;
  std::string pending_;    // head (and, unless chunked, body) bytes not yet sent
  std::string chunkBody_;  // body bytes of the next chunk
};

// A complete response of the server's own (errors, redirects).
struct SimpleResponse {
  int status = 200;
  std::vector<kvasp::Header> headers;
  std::string body;
  std::string contentType = "text/html";
};

// A page for an error status: "<h1>404 Not Found</h1>".
SimpleResponse ErrorResponse(int status);

// The reason phrase of a status code.
const char* ReasonPhrase(int status);

// A Date or Last-Modified header's value (IMF-fixdate) of a UTC time, or of now.
std::string HttpDate(const SYSTEMTIME& time);
std::string HttpDate();

// A complete response as bytes. headOnly: without the body.
std::string SimpleMessage(const SimpleResponse& response, bool headOnly, bool close);

// Sends a complete response. headOnly: without the body.
bool SendSimple(Connection& connection, const SimpleResponse& response, bool headOnly, bool close);

}  // namespace kvserve
