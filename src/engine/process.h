// The upload object. Everything it knows of the upload is gathered while it is
// created: its initialisation reads the whole request body from the ASP
// Request object and parses it. Afterwards it is a store that the page script
// queries, plus the two settings that govern saving.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>

#include "../host/aspcontext.h"
#include "uploadstate.h"

namespace kvp {

// The size of one BinaryRead.
constexpr int32_t kChunkSize = 102400;
// The one text the object writes into the response, when reading or parsing
// the body fails.
constexpr const char* kReadFailureText = "Error reading uploaded file or form data.";

class Tprocess : public TASPMTSObject, public TUploadState, private IClientProbe {
 public:
  Tprocess() = default;
  ~Tprocess() override = default;

  // Run once by the class factory right after construction: the fields get
  // their defaults, then the request is read and parsed. A failure that
  // escapes (no object context, no Request) makes the creation fail.
  void Initialize();

  // Members of the automation interface.
  HRESULT get_MaxKB(long* value);
  HRESULT put_MaxKB(long value);
  HRESULT get_Status(long* value);
  HRESULT get_TotalBytes(long* value);
  HRESULT get_OverwriteMode(long* value);
  HRESULT put_OverwriteMode(long value);
  HRESULT get_OverwriteChr(BSTR* value);
  HRESULT put_OverwriteChr(BSTR value);
  HRESULT Read();

 private:
  void ReadRequest();
  // Appends the bytes of one BinaryRead answer to FBody, never more than the
  // answer's array holds nor more than FBody has room for.
  void TakeChunk(VARIANT& count, VARIANT& bytes);
  bool IsClientConnected() override;
};

}  // namespace kvp
