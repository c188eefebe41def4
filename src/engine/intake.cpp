// Reading the request body from the ASP Request object into FBody, chunk by
// chunk, and handing it to the parser.

#include <cstring>

#include "../server/ansitext.h"
#include "../server/oleerror.h"
#include "process.h"
#include "spoolsettings.h"

namespace kvp {

namespace {

// The answer's bytes: only a one-dimensional array of bytes will do.
struct ByteArray {
  const uint8_t* data = nullptr;
  int64_t count = 0;
};

SAFEARRAY* ArrayOf(VARIANT& v) {
  if (v.vt == (VT_ARRAY | VT_UI1)) return v.parray;
  if (v.vt == (VT_BYREF | VT_ARRAY | VT_UI1) && v.pparray) return *v.pparray;
  return nullptr;
}

}  // namespace

bool Tprocess::IsClientConnected() {
  VARIANT_BOOL connected = VARIANT_FALSE;
  CheckHost(Response()->IsClientConnected(&connected));
  return connected != VARIANT_FALSE;
}

void Tprocess::TakeChunk(VARIANT& count, VARIANT& bytes, int32_t total) {
  SAFEARRAY* array = ArrayOf(bytes);
  if (!array || SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != 1)
    throw EReadError("Stream read error");
  Variant delivered;
  CheckStatus(VariantChangeType(delivered.Get(), &count, 0, VT_I4));
  int64_t n = delivered->lVal;
  const int64_t held = static_cast<int64_t>(array->rgsabound[0].cElements);
  const int64_t room = total - Received();
  if (n > held) n = held;
  if (n > room) n = room;
  if (n <= 0) return;
  SafeArrayLock lock(array);
  if (!lock.Locked()) throw EReadError("Stream read error");
  if (FSpool)
    FSpool->Append(lock.Data(), n);
  else
    FBody->Write(lock.Data(), n);
}

int64_t Tprocess::Received() const noexcept {
  return FSpool ? FSpool->Written() : FBody->Position();
}

// Above the threshold the body goes to a spool file as it arrives; below it,
// into memory reserved for the announced size and committed as chunks come.
void Tprocess::PrepareBody(int32_t total) {
  FBody->Clear();
  const TSpoolSettings settings = SpoolSettings();
  if (static_cast<uint32_t>(total) > settings.threshold)
    FSpool = std::make_unique<TSpoolFile>(settings.folder, total);
  else
    FBody->Reserve(total);
}

// The body as the parser and DumpHeader read it: the announced size, with
// zeros where a short read left bytes out. A spool file reads them as zeros
// without storing them.
void Tprocess::CompleteBody(int32_t total) {
  if (FSpool) {
    FSpool->Flush();
  } else {
    FBody->SetSize(total);
    FBody->SetPosition(0);
  }
}

void Tprocess::ReadRequest() {
  long total = 0;
  CheckHost(Request()->get_TotalBytes(&total));
  if (total < 1) {
    FTotalBytes = total;
    return;
  }
  try {
    // What the intake holds follows what the client sent, not what it
    // announced: memory is committed, or the spool file grows, as chunks
    // arrive.
    PrepareBody(total);
    int32_t requested = 0;
    // A long (spooled) body's arrays are released each after the next one is
    // taken: the heap then reuses their blocks, where a block released first
    // is given back to the system and taken again for every chunk. For a
    // short body the second array costs the heap more than it saves.
    Variant chunks[2];
    const int alternate = FSpool ? 1 : 0;
    for (int turn = 0;; turn ^= alternate) {
      if (!IsClientConnected()) {
        CompleteBody(total);
        return;
      }
      const int32_t count = total - requested < kChunkSize ? total - requested : kChunkSize;
      requested += count;
      Variant countArg;
      countArg->vt = VT_I4;
      countArg->lVal = count;
      Variant& bytes = chunks[turn];
      bytes.Clear();
      CheckHost(Request()->BinaryRead(countArg.Get(), bytes.Get()));
      TakeChunk(*countArg.Get(), *bytes.Get(), total);
      if (requested >= total) {
        CompleteBody(total);
        ParseBody(RequestBody(), *this);
        FTotalBytes = total;
        return;
      }
    }
  } catch (...) {
  }
  // Reading or parsing failed: the page gets one line of text instead of an
  // error, and the object keeps whatever was parsed.
  // The text is made before the variant takes it: a variant must never claim
  // a string it does not hold, even when making the text fails.
  Bstr text = Bstr::Adopt(ToBstr(kReadFailureText));
  Variant message;
  message->vt = VT_BSTR;
  message->bstrVal = text.Detach();
  CheckHost(Response()->Write(*message.Get()));
  FTotalBytes = total;
}

}  // namespace kvp
