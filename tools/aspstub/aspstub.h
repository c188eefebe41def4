// A stand-in for the ASP host: Request (with its ServerVariables collection),
// Response and the object context that carries them, as in-process COM
// objects implementing the platform's own declarations of those interfaces.
//
// A test scripts what the host answers (the body, how BinaryRead delivers it,
// when the client goes away, which calls fail) and reads back what the host
// received: every call in order, the text written to the response.
//
// The objects are meant for the thread that creates them, like the ASP
// intrinsics of one page; their reference counts are interlocked all the same.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/aspsdk.h"
#include "server/oleptr.h"

namespace kvstub {

// A failing answer: the status, and the error information published with it
// through SetErrorInfo. With neither description nor source, the thread's
// error information is cleared instead.
struct Failure {
  HRESULT status = E_FAIL;
  std::wstring description;
  std::wstring source;
};

// What BinaryRead puts into its result variant.
enum class ReadResult {
  Bytes,        // a one-dimensional VT_UI1 array of the delivered bytes
  TwoDimBytes,  // the delivered bytes as an n x 1 two-dimensional VT_UI1 array
  WordArray,    // a one-dimensional VT_I2 array, one element per delivered byte
  Text,         // VT_BSTR, one character per delivered byte
  Empty,        // VT_EMPTY
  Object,       // VT_UNKNOWN holding a stand-in object (counted by LiveObjects)
};

// What BinaryRead writes back into the count variant.
enum class CountReport {
  Delivered,  // VT_I4: the number of bytes delivered
  Offset,     // VT_I4: delivered + number
  Fixed,      // VT_I4: number
  Real,       // VT_R8: number
  Text,       // VT_BSTR: text
};

struct ReadAnswer {
  ReadResult result = ReadResult::Bytes;
  CountReport count = CountReport::Delivered;
  double number = 0;    // for Offset, Fixed and Real
  std::wstring text{};  // for Text
  // Bytes delivered beyond the count asked for (as far as the body has them),
  // as a host that ignores the count would.
  long overDeliver = 0;
};

// How the object context answers GetProperty for one name.
enum class PropertyMode {
  Normal,     // the stand-in object, as VT_DISPATCH
  Missing,    // S_OK with VT_EMPTY
  WrongType,  // VT_DISPATCH of an object that is neither IRequest nor IResponse
};

// One call that a stand-in object received.
struct Call {
  std::string object;  // "Request", "Response", "ServerVariables", "Context", ...
  std::string method;  // the member's name without get_/put_
  long count = 0;      // BinaryRead: the requested count (-1 when not a number)
  std::wstring name;   // GetProperty, ServerVariables item: the key asked for
};

struct HostState;

class StubHost {
 public:
  StubHost();
  ~StubHost();
  StubHost(const StubHost&) = delete;
  StubHost& operator=(const StubHost&) = delete;

  // --- What the host answers.

  // The request body. TotalBytes answers its length unless told otherwise.
  void SetBody(std::string bytes);
  void SetTotalBytes(long value);
  void FailTotalBytes(Failure failure);

  // BinaryRead delivers what is asked, capped by the rest of the body, by
  // maxPerCall (0: no cap) and by the per-call list (call i, counted from 1,
  // delivers at most sizes[i-1]; calls past the list are not capped by it).
  void LimitReads(long maxPerCall);
  void LimitReads(std::vector<long> sizes);
  // The call-th BinaryRead (from 1) fails and delivers nothing.
  void FailReadAt(int call, Failure failure);
  // From the call-th BinaryRead on, the result and the count take this shape.
  void ShapeReads(ReadAnswer answer, int fromCall = 1);

  // Whether calls are recorded (on by default); off, the host's own memory
  // stays flat however many calls it answers.
  void KeepCallLog(bool keep);
  // Called at the start of every BinaryRead, on the caller's thread, before
  // the host answers (for tests that watch the caller while it reads).
  void ObserveReads(std::function<void()> observer);

  // IsClientConnected answers false from its call-th call on (0: never).
  void DisconnectFrom(int call);
  // The call-th IsClientConnected fails.
  void FailConnectedAt(int call, Failure failure);

  // Every Write fails.
  void FailWrite(Failure failure);

  // A ServerVariables entry. As a string list it comes back the way IIS hands
  // it out: VT_DISPATCH whose default property is the text.
  void SetServerVariable(std::wstring name, std::wstring value, bool asStringList = false);

  void SetPropertyMode(std::wstring_view name, PropertyMode mode);

  // --- What the host received.

  std::vector<Call> Calls() const;
  // The calls on Request, Response and ServerVariables, in order, as method
  // names; BinaryRead as "BinaryRead(n)" with the requested count.
  std::vector<std::string> Trace() const;
  // How many calls of that method any object received.
  int Count(std::string_view method) const;
  // The counts BinaryRead was asked for, in order.
  std::vector<long> ReadRequests() const;
  // The text of every successful Write, concatenated.
  std::wstring Written() const;
  // The variant type of every Write, successful or not.
  std::vector<VARTYPE> WriteTypes() const;

  // The object context: what the stand-in mtxex.dll hands out. Not AddRef'd;
  // lives as long as the host or the references taken on it.
  IObjectContext* Context() const noexcept;
  IRequest* Request() const noexcept;
  IResponse* Response() const noexcept;

  // Stand-in COM objects alive in this process right now.
  static long LiveObjects() noexcept;

 private:
  std::shared_ptr<HostState> state_;
  kvp::ComPtr<IObjectContext> context_;
  kvp::ComPtr<IRequest> request_;
  kvp::ComPtr<IResponse> response_;
};

}  // namespace kvstub
