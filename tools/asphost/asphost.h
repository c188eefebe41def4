// The local ASP host: runs one request against an .asp page, with the
// intrinsic objects a page needs (Request, Response, Server) implemented on
// the platform's own ASP interface declarations, and the object context that
// carries them made current for the page's thread, the way IIS's ASP does it.
// Components created by the page (kvParcelin.process) reach this request's
// Request and Response through that context.
//
// The transport (a command line, an HTTP connection) supplies the request
// and the body as a pull source, and receives the response through a sink.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kvasp {

using Header = std::pair<std::string, std::string>;  // name, value (8-bit, as sent)

// Where the request body comes from. Read blocks until at least one byte is
// there, the body ends or the client is gone; nothing is read ahead of the
// page's own calls of Request.BinaryRead.
class BodySource {
 public:
  virtual ~BodySource() = default;
  // The body's size as the request declares it (Content-Length), 0 if none.
  virtual int64_t TotalBytes() = 0;
  // Up to max bytes into buffer; 0 at the end of the body, -1 when the client
  // has gone (or the connection failed).
  virtual int64_t Read(uint8_t* buffer, int64_t max) = 0;
  // False once the client has gone.
  virtual bool Connected() = 0;
};

// Where the response goes. Begin is called once, before the first Send. Its
// headers carry Content-Length when the whole body was known at that point (a
// buffered page); without it (Response.Buffer = False, Response.Flush) the
// body ends when RunPage returns.
class ResponseSink {
 public:
  virtual ~ResponseSink() = default;
  virtual void Begin(int status, const std::string& reason, const std::vector<Header>& headers) = 0;
  // False when the client has gone.
  virtual bool Send(const uint8_t* data, size_t size) = 0;
  virtual bool Connected() = 0;
};

struct PageRequest {
  std::string method = "GET";
  std::string urlPath;      // e.g. /upload/receive.asp (the SCRIPT_NAME / PATH_INFO)
  std::string queryString;  // without "?"
  std::vector<Header> headers;
  std::wstring siteRoot;  // Windows path of the site's root folder (for MapPath, #include virtual)
  std::wstring pagePath;  // Windows path of the .asp file (PATH_TRANSLATED)
  // RunPage fills in what is left empty: siteRoot as the page's folder,
  // urlPath as the page's path under siteRoot.
  std::string serverName = "localhost";
  int serverPort = 80;
  std::string remoteAddr = "127.0.0.1";
};

struct ScriptFailure {
  std::wstring file;  // the page or include file the failing line belongs to
  unsigned line = 0;  // 1-based line in that file
  long number = 0;    // as Err.Number
  std::wstring source;
  std::wstring description;
  std::wstring lineText;
};

struct PageOutcome {
  bool ok = true;  // false on a compile or runtime error
  std::vector<ScriptFailure> errors;
  int status = 200;  // what was sent
};

// Runs the page on the calling thread, which must be in a single-threaded
// apartment and must have loaded the stand-in mtxex.dll's road to the object
// context (the process reports Windows NT 4.0). A script error stops the
// page: the response then carries an error page (status 500 unless headers
// went out already) and the outcome lists the error.
PageOutcome RunPage(const PageRequest& request, BodySource& body, ResponseSink& response);

// One failure as a line for a log or a console: "file(line): source: description".
std::wstring DescribeFailure(const ScriptFailure& failure);

// The command line `run PAGE [--body FILE] [--header NAME:VALUE]... [--query QS]
// [--method M] [--root DIR] [--include]`: argv[0] names the command and is
// skipped. Runs one request against PAGE (a Unix or Windows path) and writes
// the response body to stdout (with --include, the status line and headers
// first); a failed page's errors go to stderr. Initialises COM for the thread
// (apartment-threaded) and loads the stand-in mtxex.dll beside the program.
// Answers 0, 1 when the page failed, 2 for a bad command line or an
// unreadable body file.
int RunPageCommand(int argc, wchar_t** argv);

}  // namespace kvasp
