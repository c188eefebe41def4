#include "spoolsettings.h"

#include <windows.h>

#include <mutex>
#include <vector>

#include "slimlock.h"

namespace kvp {

namespace {

constexpr const wchar_t* kKey = L"SOFTWARE\\kvParcelin";

class RegistryKey {
 public:
  RegistryKey() {
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key_) != ERROR_SUCCESS)
      key_ = nullptr;
  }
  ~RegistryKey() {
    if (key_) RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  bool Number(const wchar_t* name, uint32_t& out) const {
    DWORD type = 0, value = 0, size = sizeof value;
    if (!key_ ||
        RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
      return false;
    out = value;
    return true;
  }

  // A REG_SZ, or a REG_EXPAND_SZ with its variables expanded.
  std::wstring Text(const wchar_t* name) const {
    DWORD type = 0, size = 0;
    if (!key_ || RegQueryValueExW(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size < sizeof(wchar_t))
      return {};
    std::vector<wchar_t> raw(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(raw.data()), &size) !=
        ERROR_SUCCESS)
      return {};
    std::wstring text(raw.data());
    if (type == REG_SZ) return text;
    const DWORD n = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    std::vector<wchar_t> expanded(n + 1, L'\0');
    if (n == 0 || ExpandEnvironmentStringsW(text.c_str(), expanded.data(), n + 1) == 0) return text;
    return expanded.data();
  }

 private:
  HKEY key_ = nullptr;
};

TSpoolSettings ReadSettings() {
  const RegistryKey key;
  TSpoolSettings settings;
  key.Number(L"SpoolThreshold", settings.threshold);
  settings.folder = key.Text(L"SpoolFolder");
  return settings;
}

TSlimLock lock;

TSpoolSettings& Current() {
  static TSpoolSettings settings = ReadSettings();
  return settings;
}

}  // namespace

TSpoolSettings SpoolSettings() {
  const std::lock_guard<TSlimLock> hold(lock);
  return Current();
}

void SetSpoolSettings(const TSpoolSettings& settings) {
  const std::lock_guard<TSlimLock> hold(lock);
  Current() = settings;
}

}  // namespace kvp
