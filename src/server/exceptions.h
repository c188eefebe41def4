// The exception family raised inside the upload object. Members never build
// status codes themselves: they throw one of these, and the member guard turns
// it into a status with error information for the caller.
//
// Portable: no Windows header, so the byte-level core can raise them too.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace kvp {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message, int32_t helpContext = 0)
      : message_(std::move(message)), helpContext_(helpContext) {}
  const std::string& Message() const noexcept { return message_; }
  int32_t HelpContext() const noexcept { return helpContext_; }
  const char* what() const noexcept override { return message_.c_str(); }

 protected:
  void SetMessage(std::string message) { message_ = std::move(message); }

 private:
  std::string message_;
  int32_t helpContext_;
};

#define KVP_EXCEPTION(Name, Base) \
  class Name : public Base {      \
   public:                        \
    using Base::Base;             \
  };

KVP_EXCEPTION(EIndexError, Exception)
KVP_EXCEPTION(EOleError, Exception)
KVP_EXCEPTION(EStreamError, Exception)
KVP_EXCEPTION(EFCreateError, EStreamError)
KVP_EXCEPTION(EFOpenError, EStreamError)
KVP_EXCEPTION(EFilerError, EStreamError)
KVP_EXCEPTION(EReadError, EFilerError)
KVP_EXCEPTION(EWriteError, EFilerError)
KVP_EXCEPTION(EHeapException, Exception)
KVP_EXCEPTION(EOutOfMemory, EHeapException)
KVP_EXCEPTION(EVariantError, Exception)
KVP_EXCEPTION(EVariantArrayCreateError, EVariantError)
#undef KVP_EXCEPTION

// A failing status code met in a call into the platform or the host. An empty
// message is replaced by the platform's text for the code (see oleerror.cpp);
// the portable core never raises it.
class EOleSysError : public EOleError {
 public:
  EOleSysError(std::string message, int32_t errorCode, int32_t helpContext = 0);
  int32_t ErrorCode() const noexcept { return errorCode_; }

 private:
  int32_t errorCode_;
};

// A failing status returned by a host object, carrying that object's error
// information.
class EOleException : public EOleSysError {
 public:
  EOleException(std::string message, int32_t errorCode, std::string source, std::string helpFile,
                int32_t helpContext)
      : EOleSysError(std::move(message), errorCode, helpContext),
        source_(std::move(source)),
        helpFile_(std::move(helpFile)) {}
  const std::string& Source() const noexcept { return source_; }
  const std::string& HelpFile() const noexcept { return helpFile_; }

 private:
  std::string source_;
  std::string helpFile_;
};

// Line-oriented text output failures carry an input/output error number.
class EInOutError : public Exception {
 public:
  EInOutError(std::string message, int32_t errorCode)
      : Exception(std::move(message)), errorCode_(errorCode) {}
  int32_t ErrorCode() const noexcept { return errorCode_; }

 private:
  int32_t errorCode_;
};

}  // namespace kvp
