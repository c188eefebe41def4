// The upload object. Everything it knows of the upload is gathered while it is
// created: its initialisation reads the whole request body from the ASP
// Request object and parses it. Afterwards it is a store that the page script
// queries, plus the two settings that govern saving.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <string_view>

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
  explicit Tprocess(TAutoObjectFactory* factory = nullptr, IUnknown* outer = nullptr)
      : TASPMTSObject(factory, outer) {}
  ~Tprocess() override = default;

  // Run once by the class factory right after construction: the fields get
  // their defaults, then the request is read and parsed. A failure that
  // escapes (no object context, no Request) makes the creation fail.
  void Initialize() override;

  // Iprocess. Upload object settings and state:
  STDMETHODIMP get_MaxKB(LONG* Value) override;
  STDMETHODIMP put_MaxKB(LONG Value) override;
  STDMETHODIMP get_Status(LONG* Value) override;
  STDMETHODIMP get_TotalBytes(LONG* Value) override;
  STDMETHODIMP get_OverwriteMode(LONG* Value) override;
  STDMETHODIMP put_OverwriteMode(LONG Value) override;
  STDMETHODIMP get_OverwriteChr(BSTR* Value) override;
  STDMETHODIMP put_OverwriteChr(BSTR Value) override;
  STDMETHODIMP Read() override;
  // Form variables (src/access/formvars.cpp):
  STDMETHODIMP get_VarCount(LONG* Value) override;
  STDMETHODIMP get_Value(BSTR VarName, BSTR* Value) override;
  STDMETHODIMP get_VarByIndex(LONG Index, BSTR* Value) override;
  STDMETHODIMP get_VarName(LONG Index, BSTR* Value) override;
  STDMETHODIMP get_TagNameIndex(BSTR TagName, LONG* Value) override;
  // File items (src/access/fileitems.cpp):
  STDMETHODIMP get_FileQty(LONG* Value) override;
  STDMETHODIMP get_FileName(LONG Index, BSTR* Value) override;
  STDMETHODIMP get_LocalName(LONG Index, BSTR* Value) override;
  STDMETHODIMP get_Extension(LONG Index, BSTR* Value) override;
  STDMETHODIMP get_ContentType(LONG Index, BSTR* Value) override;
  STDMETHODIMP get_NameOnly(LONG Index, BSTR* Value) override;
  STDMETHODIMP get_NewName(LONG Index, BSTR* Value) override;
  STDMETHODIMP get_FileSize(LONG Index, LONG* Value) override;
  STDMETHODIMP get_FileData(LONG Index, VARIANT* Value) override;
  // Saving (src/fileout/filesave.cpp):
  STDMETHODIMP FileSave(BSTR FileName, LONG Index) override;
  // File utilities (src/fileout/fileutils.cpp):
  STDMETHODIMP DumpHeader(BSTR FileName) override;
  STDMETHODIMP get_Version(BSTR* Value) override;
  STDMETHODIMP get_FileExists(BSTR FileName, VARIANT_BOOL* Value) override;
  STDMETHODIMP get_CurrentDir(BSTR* Value) override;
  STDMETHODIMP get_ParentDir(BSTR Path, BSTR* Value) override;
  STDMETHODIMP AppendToFile(BSTR FileName, BSTR NewLine) override;
  STDMETHODIMP Copy(BSTR OldName, BSTR NewName) override;
  STDMETHODIMP Delete(BSTR FileName) override;
  STDMETHODIMP Rename(BSTR OldName, BSTR NewName) override;
  // Iprocess2. The code page of the texts from the body (src/engine/process.cpp):
  STDMETHODIMP get_CodePage(LONG* Value) override;
  STDMETHODIMP put_CodePage(LONG Value) override;

 protected:
  // Runs a member with a text result: the result is cleared first.
  template <typename Work>
  HRESULT TextMember(BSTR* result, Work&& work) noexcept {
    if (!result) return E_POINTER;
    *result = nullptr;
    return Guard([&] { *result = work(); });
  }
  // The index of a file item, or EIndexError.
  size_t FileItem(LONG index) const;
  // Text taken from the body, as a page reads it: decoded from the CodePage
  // setting's code page.
  BSTR BodyText(std::string_view text) const;
  // 0 (the default) for the ANSI code page, else the code page set by the page.
  UINT FCodePage = CP_ACP;

 private:
  void ReadRequest();
  // Readies FBody, or a spool file, for a body of total bytes.
  void PrepareBody(int32_t total);
  // Appends the bytes of one BinaryRead answer to the body, never more than
  // the answer's array holds nor past the announced total.
  void TakeChunk(VARIANT& count, VARIANT& bytes, int32_t total);
  // How many bytes of the body have arrived.
  int64_t Received() const noexcept;
  // Gives the body its announced size once reading ends.
  void CompleteBody(int32_t total);
  bool IsClientConnected() override;
};

// The factory's creator for the class process.
TAutoObject* CreateProcessObject(TAutoObjectFactory* factory, IUnknown* outer);

}  // namespace kvp
