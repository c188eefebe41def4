// The spool file of the portable core (benchmarks and tests): an unlinked
// temporary file, gone with its descriptor.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "../server/exceptions.h"
#include "spoolfile.h"

namespace kvp {

TSpoolFile::TSpoolFile(const std::wstring& folder, int64_t size) : file_(-1), size_(size) {
  std::string dir(folder.begin(), folder.end());
  if (dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    dir = tmp && *tmp ? tmp : "/tmp";
  }
  std::string pattern = dir + "/kvParcelin-XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd < 0) throw EFCreateError("Cannot create file " + pattern);
  unlink(pattern.c_str());
  file_ = fd;
  name_.assign(pattern.begin(), pattern.end());
}

TSpoolFile::~TSpoolFile() {
  close(static_cast<int>(file_));
}

int64_t TSpoolFile::WriteSome(const uint8_t* data, int64_t count, int64_t offset) {
  const ssize_t done =
      pwrite(static_cast<int>(file_), data, static_cast<size_t>(count), static_cast<off_t>(offset));
  return done > 0 ? done : 0;
}

int64_t TSpoolFile::ReadSome(uint8_t* out, int64_t count, int64_t offset) const {
  const ssize_t got =
      pread(static_cast<int>(file_), out, static_cast<size_t>(count), static_cast<off_t>(offset));
  return got > 0 ? got : 0;
}

}  // namespace kvp
