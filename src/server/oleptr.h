// Owners for COM references, BSTRs and VARIANTs: each releases what it holds
// on every path out of a scope.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <utility>

namespace kvp {

template <typename T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Takes over a reference the caller already owns.
  static ComPtr Adopt(T* p) noexcept {
    ComPtr r;
    r.p_ = p;
    return r;
  }
  ComPtr(const ComPtr& o) noexcept : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  void Reset() noexcept {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  T* Get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // For out-parameters: releases what is held and hands out the slot.
  T** Put() noexcept {
    Reset();
    return &p_;
  }
  void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }
  T* Detach() noexcept { return std::exchange(p_, nullptr); }

 private:
  T* p_ = nullptr;
};

class Bstr {
 public:
  Bstr() noexcept = default;
  explicit Bstr(const wchar_t* text) : b_(text ? SysAllocString(text) : nullptr) {}
  Bstr(const wchar_t* text, UINT length) : b_(SysAllocStringLen(text, length)) {}
  static Bstr Adopt(BSTR b) noexcept {
    Bstr r;
    r.b_ = b;
    return r;
  }
  Bstr(Bstr&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
  Bstr& operator=(Bstr&& o) noexcept {
    std::swap(b_, o.b_);
    return *this;
  }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(b_); }

  BSTR Get() const noexcept { return b_; }
  UINT Length() const noexcept { return SysStringLen(b_); }
  BSTR* Put() noexcept {
    SysFreeString(std::exchange(b_, nullptr));
    return &b_;
  }
  BSTR Detach() noexcept { return std::exchange(b_, nullptr); }

 private:
  BSTR b_ = nullptr;
};

class Variant {
 public:
  Variant() noexcept { VariantInit(&v_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { VariantClear(&v_); }
  VARIANT* operator&() noexcept { return &v_; }
  VARIANT* Get() noexcept { return &v_; }
  const VARIANT* Get() const noexcept { return &v_; }
  VARIANT* operator->() noexcept { return &v_; }
  void Clear() noexcept { VariantClear(&v_); }

 private:
  VARIANT v_;
};

// COM for the calling thread, in a single-threaded apartment as ASP gives its
// page threads, for the length of a scope.
class ComApartment {
 public:
  ComApartment() noexcept : status_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (SUCCEEDED(status_)) CoUninitialize();
  }
  HRESULT Status() const noexcept { return status_; }

 private:
  HRESULT status_;
};

// Owns a safe array until it is handed on.
class SafeArray {
 public:
  explicit SafeArray(SAFEARRAY* sa = nullptr) noexcept : sa_(sa) {}
  SafeArray(const SafeArray&) = delete;
  SafeArray& operator=(const SafeArray&) = delete;
  ~SafeArray() {
    if (sa_) SafeArrayDestroy(sa_);
  }
  SAFEARRAY* Get() const noexcept { return sa_; }
  SAFEARRAY* Detach() noexcept { return std::exchange(sa_, nullptr); }
  explicit operator bool() const noexcept { return sa_ != nullptr; }

 private:
  SAFEARRAY* sa_;
};

// Keeps a safe array's data locked for the length of a scope.
class SafeArrayLock {
 public:
  explicit SafeArrayLock(SAFEARRAY* sa) noexcept : sa_(sa) {
    if (sa_ && FAILED(SafeArrayAccessData(sa_, &data_))) {
      sa_ = nullptr;
      data_ = nullptr;
    }
  }
  SafeArrayLock(const SafeArrayLock&) = delete;
  SafeArrayLock& operator=(const SafeArrayLock&) = delete;
  ~SafeArrayLock() {
    if (sa_) SafeArrayUnaccessData(sa_);
  }
  void* Data() const noexcept { return data_; }
  bool Locked() const noexcept { return sa_ != nullptr; }

 private:
  SAFEARRAY* sa_;
  void* data_ = nullptr;
};

}  // namespace kvp
