#include "pageio.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "httpparse.h"

namespace kvserve {

namespace {

// Body bytes gathered before they go out as one chunk.
constexpr size_t kFlushBytes = 16 * 1024;

// A field the page must not set: the server frames the message itself.
bool IsHopByHop(const std::string& name) {
  return EqualsNoCase(name, "Connection") || EqualsNoCase(name, "Keep-Alive") ||
         EqualsNoCase(name, "Transfer-Encoding") || EqualsNoCase(name, "Content-Length") ||
         EqualsNoCase(name, "TE") || EqualsNoCase(name, "Trailer") || EqualsNoCase(name, "Upgrade");
}

// Header names and values with CR, LF or NUL would split the response.
bool IsSafeField(const kvasp::Header& field) {
  if (field.first.empty()) return false;
  for (char c : field.first)
    if (static_cast<unsigned char>(c) <= 0x20 || c == ':' || c == 0x7F) return false;
  for (char c : field.second)
    if (c == '\r' || c == '\n' || c == '\0') return false;
  return true;
}

bool ParseLength(const std::string& text, int64_t& value) {
  if (text.empty() || text.size() > 15) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

bool StatusHasNoBody(int status) {
  return status < 200 || status == 204 || status == 304;
}

std::string StatusLine(int status, const std::string& reason) {
  std::string safe;
  for (char c : reason)
    if (c != '\r' && c != '\n' && c != '\0') safe += c;
  if (safe.empty()) safe = ReasonPhrase(status);
  return "HTTP/1.1 " + std::to_string(status) + " " + safe + "\r\n";
}

}  // namespace

// ---- the body ------------------------------------------------------------------

ConnectionBody::ConnectionBody(Connection& connection, int64_t length, bool expectContinue,
                               BodyPace pace)
    : connection_(connection),
      length_(length),
      pace_(pace),
      awaitingContinue_(expectContinue && length > 0) {}

int64_t ConnectionBody::Read(uint8_t* buffer, int64_t max) {
  if (received_ >= length_ || max <= 0) return 0;
  if (tooSlow_) return -1;
  if (awaitingContinue_) {
    awaitingContinue_ = false;
    // The client sends the body once told to; if the final response is out
    // already it sends the body anyway (or after its own wait).
    if (continueAllowed_ && !connection_.SendAll("HTTP/1.1 100 Continue\r\n\r\n")) return -1;
  }
  // Bytes already there are taken even when the allowance is used up.
  const auto start = std::chrono::steady_clock::now();
  const int64_t n = connection_.ReadSome(buffer, std::min(max, length_ - received_),
                                         static_cast<int>(pace_.WaitAllowedMs()));
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
  pace_.Waited(waited, n > 0 ? n : 0);
  if (n == 0) {
    tooSlow_ = true;
    connection_.Expire();
    return -1;
  }
  if (n < 0) return -1;
  received_ += n;
  return n;
}

bool ConnectionBody::RestForcesClose() const noexcept {
  if (Remaining() <= 0) return false;
  return awaitingContinue_ || tooSlow_ || Remaining() > kDrainLimit || connection_.Gone();
}

bool ConnectionBody::Drain() {
  uint8_t sink[8 * 1024];
  while (Remaining() > 0) {
    if (awaitingContinue_ || Remaining() > kDrainLimit) return false;
    if (Read(sink, std::min<int64_t>(sizeof sink, Remaining())) <= 0) return false;
  }
  return true;
}

// ---- the response --------------------------------------------------------------

ConnectionResponse::ConnectionResponse(Connection& connection, ConnectionBody* body,
                                       int versionMinor, bool headOnly, bool keepAlive)
    : connection_(connection),
      body_(body),
      versionMinor_(versionMinor),
      headOnly_(headOnly),
      keepAlive_(keepAlive) {}

void ConnectionResponse::Begin(int status, const std::string& reason,
                               const std::vector<kvasp::Header>& headers) {
  if (began_) return;
  began_ = true;
  status_ = (status >= 100 && status <= 999) ? status : 500;
  if (status_ < 200) status_ = 200;  // an interim status cannot be a page's final answer

  int64_t length = -1;
  std::string fields;
  bool haveType = false;
  for (const kvasp::Header& field : headers) {
    if (!IsSafeField(field)) continue;
    if (EqualsNoCase(field.first, "Content-Length")) {
      int64_t n = 0;
      if (ParseLength(field.second, n)) length = n;
      continue;
    }
    if (IsHopByHop(field.first) || EqualsNoCase(field.first, "Date") ||
        EqualsNoCase(field.first, "Server"))
      continue;
    if (EqualsNoCase(field.first, "Content-Type")) haveType = true;
    fields += field.first + ": " + field.second + "\r\n";
  }
  if (!haveType && !StatusHasNoBody(status_)) fields += "Content-Type: text/html\r\n";

  closeAfter_ = !keepAlive_ || (body_ && body_->RestForcesClose());
  if (StatusHasNoBody(status_)) {
    framing_ = Framing::None;
  } else if (length >= 0) {
    framing_ = headOnly_ ? Framing::None : Framing::Length;
    declaredLength_ = length;
    fields += "Content-Length: " + std::to_string(length) + "\r\n";
  } else if (headOnly_) {
    framing_ = Framing::None;
  } else if (versionMinor_ >= 1) {
    framing_ = Framing::Chunked;
    fields += "Transfer-Encoding: chunked\r\n";
  } else {
    framing_ = Framing::UntilClose;
    closeAfter_ = true;
  }
  fields += closeAfter_ ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
  pending_ = StatusLine(status_, reason) + "Date: " + HttpDate() + "\r\nServer: kvhost\r\n" +
             fields + "\r\n";
}

bool ConnectionResponse::SendNow(std::string_view bytes) {
  // A client that was too slow gets no part of the page's response.
  if (connection_.Expired()) failed_ = true;
  if (failed_) return false;
  sentAny_ = true;
  // Once anything of the response is out, an interim response cannot come.
  if (body_) body_->ForbidContinue();
  if (!connection_.SendAll(bytes)) failed_ = true;
  return !failed_;
}

bool ConnectionResponse::WriteChunk(std::string_view data) {
  if (data.empty()) return true;
  char line[24];
  std::snprintf(line, sizeof line, "%zx\r\n", data.size());
  pending_ += line;
  if (data.size() < kFlushBytes) {
    // One write for the size line, the bytes and their CR LF.
    pending_.append(data);
    pending_ += "\r\n";
    return Flush();
  }
  return Flush() && SendNow(data) && SendNow("\r\n");
}

bool ConnectionResponse::FlushChunk() {
  const std::string piece = std::move(chunkBody_);
  chunkBody_.clear();
  return WriteChunk(piece);
}

bool ConnectionResponse::Flush() {
  const std::string bytes = std::move(pending_);
  pending_.clear();
  return bytes.empty() ? !failed_ : SendNow(bytes);
}

bool ConnectionResponse::Send(const uint8_t* data, size_t size) {
  if (!began_) Begin(200, "OK", {});
  if (failed_) return false;
  if (framing_ == Framing::None) return connection_.Alive();
  if (framing_ == Framing::Length) {
    const uint64_t declared = static_cast<uint64_t>(declaredLength_);
    const uint64_t room = declared - std::min(bodyBytes_, declared);
    size = static_cast<size_t>(std::min<uint64_t>(size, room));
  }
  if (size == 0) return connection_.Alive();
  bodyBytes_ += size;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (framing_ == Framing::Chunked) {
    // Small pieces gather into one chunk; a large one goes out as its own.
    if (size >= kFlushBytes) return FlushChunk() && WriteChunk(bytes);
    chunkBody_.append(bytes);
    if (chunkBody_.size() >= kFlushBytes) FlushChunk();
    return !failed_;
  }
  // A large piece goes out from the page's own buffer, not through a copy.
  if (size >= kFlushBytes) return Flush() && SendNow(bytes);
  pending_.append(bytes);
  if (pending_.size() >= kFlushBytes) Flush();
  return !failed_;
}

bool ConnectionResponse::Finish() {
  if (connection_.Expired()) {
    // What the page made is dropped; a response already under way is cut
    // short by closing.
    if (!sentAny_) {
      const SimpleResponse timeout = ErrorResponse(408);
      status_ = 408;
      bodyBytes_ = headOnly_ ? 0 : timeout.body.size();
      SendSimple(connection_, timeout, headOnly_, true);
    }
    return false;
  }
  if (!began_) {
    const SimpleResponse error = ErrorResponse(500);
    Begin(500, ReasonPhrase(500), {{"Content-Length", std::to_string(error.body.size())}});
    Send(reinterpret_cast<const uint8_t*>(error.body.data()), error.body.size());
  }
  if (framing_ == Framing::Chunked) {
    FlushChunk();
    pending_ += "0\r\n\r\n";
  }
  Flush();
  if (failed_) return false;
  // A body shorter than its declared length leaves the client waiting for
  // the rest: only closing ends that message.
  if (framing_ == Framing::Length && static_cast<int64_t>(bodyBytes_) < declaredLength_)
    return false;
  return !closeAfter_;
}

// ---- the server's own responses --------------------------------------------------

const char* ReasonPhrase(int status) {
  switch (status) {
    case 100:
      return "Continue";
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 411:
      return "Length Required";
    case 413:
      return "Content Too Large";
    case 414:
      return "URI Too Long";
    case 417:
      return "Expectation Failed";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Unknown";
  }
}

SimpleResponse ErrorResponse(int status) {
  SimpleResponse response;
  response.status = status;
  const std::string title = std::to_string(status) + " " + ReasonPhrase(status);
  response.body = "<html><head><title>" + title + "</title></head><body><h1>" + title +
                  "</h1></body></html>\r\n";
  return response;
}

std::string HttpDate(const SYSTEMTIME& time) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02u %s %04u %02u:%02u:%02u GMT",
                kDays[time.wDayOfWeek % 7], time.wDay, kMonths[(time.wMonth + 11) % 12], time.wYear,
                time.wHour, time.wMinute, time.wSecond);
  return text;
}

std::string HttpDate() {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  return HttpDate(now);
}

std::string SimpleMessage(const SimpleResponse& response, bool headOnly, bool close) {
  std::string message = StatusLine(response.status, ReasonPhrase(response.status));
  message += "Date: " + HttpDate() + "\r\nServer: kvhost\r\n";
  for (const kvasp::Header& field : response.headers)
    if (IsSafeField(field)) message += field.first + ": " + field.second + "\r\n";
  if (!StatusHasNoBody(response.status)) {
    message += "Content-Type: " + response.contentType + "\r\n";
    message += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  }
  message += close ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
  if (!headOnly && !StatusHasNoBody(response.status)) message += response.body;
  return message;
}

bool SendSimple(Connection& connection, const SimpleResponse& response, bool headOnly, bool close) {
  return connection.SendAll(SimpleMessage(response, headOnly, close));
}

}  // namespace kvserve
