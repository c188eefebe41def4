// The spool file of the portable core (benchmarks and tests): an unlinked
// temporary file, gone with its descriptor.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

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

void TSpoolFile::Append(const void* data, int64_t count) {
  count = std::min(count, size_ - written_);
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (count > 0) {
    const ssize_t done = pwrite(static_cast<int>(file_), bytes, static_cast<size_t>(count),
                                static_cast<off_t>(written_));
    if (done <= 0) throw EWriteError("Stream write error");
    written_ += done;
    bytes += done;
    count -= done;
  }
}

void TSpoolFile::ReadAt(int64_t offset, void* buffer, int64_t count) const {
  if (offset < 0 || count < 0 || count > size_ - offset) throw EReadError("Stream read error");
  auto* out = static_cast<uint8_t*>(buffer);
  const int64_t stored = std::clamp<int64_t>(written_ - offset, 0, count);
  std::memset(out + stored, 0, static_cast<size_t>(count - stored));
  for (int64_t done = 0; done < stored;) {
    const ssize_t got =
        pread(static_cast<int>(file_), out + done, static_cast<size_t>(stored - done),
              static_cast<off_t>(offset + done));
    if (got <= 0) throw EReadError("Stream read error");
    done += got;
  }
}

}  // namespace kvp
