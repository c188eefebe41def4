// When a request body goes to a spool file instead of memory, and where the
// file goes. An administrator sets both in the registry, under
// HKEY_LOCAL_MACHINE\SOFTWARE\kvParcelin:
//   SpoolThreshold  REG_DWORD   bodies announced larger than this many bytes
//                               are spooled (0: every body)
//   SpoolFolder     REG_SZ or   the folder of the spool files (empty or
//                   REG_EXPAND_SZ  missing: the process's temporary folder)
// They are read once per process, at the first upload.
#pragma once

#include <cstdint>
#include <string>

namespace kvp {

// Up to this size a body is held in memory. Larger bodies gain nothing
// measurable from memory, while every concurrent upload would hold its
// whole size (bench/README.md).
constexpr uint32_t kDefaultSpoolThreshold = 4u << 20;

struct TSpoolSettings {
  uint32_t threshold = kDefaultSpoolThreshold;
  std::wstring folder;  // empty: the temporary folder
};

// The settings of this process.
TSpoolSettings SpoolSettings();
// Replaces them for the rest of the process (the tests use this).
void SetSpoolSettings(const TSpoolSettings& settings);

}  // namespace kvp
