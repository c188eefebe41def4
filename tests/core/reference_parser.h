// A deliberately plain model of the body parser for differential checks: it
// reads lines byte by byte, searches the boundary byte by byte and keeps the
// form variables in a vector scanned from the front. It knows nothing of the
// engine's line scanner, skip search or name index.
//
// The Legacy switches bring back the faults of the first version of the
// algorithm, so that a test can show that its case tells the two apart.
#pragma once

#include <climits>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvref {

struct Legacy {
  bool search = false;        // the boundary's last byte never compared, no proper restart
  bool valueStop = false;     // a value stops at the delimiter line only
  bool separators = false;    // "/" is no separator in FileName
  bool untyped = false;       // a part without Content-Type is always a form field
  bool fixedHeaders = false;  // headers only at fixed places, names in exact case
};

struct File {
  std::string localName, fileName, extension, contentType, nameOnly, data;
  bool operator==(const File&) const = default;
};

struct Result {
  int32_t status = 0;
  std::vector<File> files;
  std::vector<std::string> tagNames;
  std::vector<std::string> vars;
  int probeCalls = 0;
  bool operator==(const Result&) const = default;
};

namespace detail {

inline char Fold(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

inline bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

// Whether the header line is named name (ignoring ASCII case).
inline bool Named(const std::string& line, std::string_view name) {
  const size_t colon = line.find(':');
  return colon != std::string::npos && SameName(std::string_view(line).substr(0, colon), name);
}

// Name and file name from a Content-Disposition line; whether it has the
// file-name marker.
inline bool Disposition(const std::string& line, std::string& name, std::string& fileName) {
  name.clear();
  fileName.clear();
  const size_t m = line.find("name=\"");
  if (m == std::string::npos) return false;
  size_t rest = m + 6;
  if (const size_t q = line.find('"', rest); q != std::string::npos) {
    name = line.substr(rest, q - rest);
    rest = q + 1;
  }
  const size_t f = line.find("filename=\"", rest);
  if (f == std::string::npos) return false;
  const size_t q = line.find('"', f + 10);
  if (q != std::string::npos) fileName = line.substr(f + 10, q - f - 10);
  return true;
}

// Text and length of the line at start, one byte at a time.
inline int64_t ReadLine(std::string_view body, int64_t start, std::string& text) {
  text.clear();
  int64_t length = 0;
  const auto size = static_cast<int64_t>(body.size());
  if (start >= size) return 0;
  int64_t pos = start;
  for (;;) {
    const char b = body[static_cast<size_t>(pos++)];
    ++length;
    if (b != '\r' && b != '\n') text += b;
    if (b == '\n' || pos >= size) break;
  }
  return length;
}

// Offset at which the boundary's bytes begin, or -1 when the body ends first.
inline int64_t Search(std::string_view body, int64_t from, const std::string& delim, bool legacy) {
  const auto size = static_cast<int64_t>(body.size());
  const auto len = static_cast<int64_t>(delim.size());
  if (legacy) {
    int64_t k = 1;
    for (int64_t pos = from; pos < size;) {
      const char b = body[static_cast<size_t>(pos++)];
      if (k <= len && b == delim[static_cast<size_t>(k - 1)]) {
        ++k;
        if (k == len && pos < size) return pos - len + 1;
      } else {
        k = 1;
      }
    }
    return -1;
  }
  // Every start in turn; the match must end before the body's last byte.
  if (len < 2) return -1;
  for (int64_t s = from; s + len < size; ++s)
    if (body.substr(static_cast<size_t>(s), static_cast<size_t>(len)) == delim) return s;
  return -1;
}

}  // namespace detail

// Parses body; the probe answers "connected" connectedCalls times, then "gone".
inline Result Parse(std::string_view body, Legacy legacy = {}, int connectedCalls = INT_MAX) {
  using detail::ReadLine;
  Result r;
  const auto size = static_cast<int64_t>(body.size());
  std::string delim, line, h1, h2, h3, value;
  ReadLine(body, 0, delim);
  if (delim.empty()) return r;
  const std::string closing = delim + "--";
  int64_t cursor = 0;
  bool last = false;
  while (!last) {
    if (r.probeCalls++ >= connectedCalls) return r;
    cursor += ReadLine(body, cursor, line);
    if (cursor >= size) last = true;
    if (line != delim) continue;
    const int64_t line1 = cursor;
    cursor += ReadLine(body, cursor, h1);
    const int64_t line2 = cursor;
    cursor += ReadLine(body, cursor, h2);
    const int64_t line3 = cursor;
    cursor += ReadLine(body, cursor, h3);
    if (cursor >= size) {
      last = true;
      continue;
    }
    std::string name, fileName, contentType;
    value.clear();
    bool isFile = false;
    bool dropped = false;
    const size_t typeAt = h2.find("Content-Type:");
    // The offset of the header block's empty line, when the headers are read
    // by name and the line is there.
    int64_t blockEnd = -1;
    if (typeAt == std::string::npos && !legacy.fixedHeaders) {
      if (h2.empty()) {
        blockEnd = line2;
      } else if (h3.empty()) {
        blockEnd = line3;
      } else {
        for (int64_t at = cursor; at < size;) {
          const int64_t n = ReadLine(body, at, line);
          if (line.empty()) {
            blockEnd = at;
            break;
          }
          at += n;
        }
      }
    }
    if (typeAt != std::string::npos) {
      detail::Disposition(h1, name, fileName);
      isFile = true;
      if (typeAt + 14 <= h2.size()) contentType = h2.substr(typeAt + 14);
      if (!h3.empty()) {
        do {
          cursor += ReadLine(body, cursor, line);
          if (cursor >= size) last = true;
        } while (!line.empty());
      }
    } else if (blockEnd < 0) {
      detail::Disposition(h1, name, fileName);
      if (!legacy.untyped && h2.empty() && !fileName.empty()) {
        isFile = true;  // the older rule for untyped files
        cursor = line3;
      } else {
        value = h3;
      }
    } else {
      std::string disposition = h1, type;
      bool haveDisposition = false, haveType = false;
      for (int64_t at = line1; at < blockEnd;) {
        at += ReadLine(body, at, line);
        if (!haveDisposition && detail::Named(line, "Content-Disposition")) {
          disposition = line;
          haveDisposition = true;
        } else if (!haveType && detail::Named(line, "content-type")) {
          type = line;
          haveType = true;
        }
      }
      const bool marker = detail::Disposition(disposition, name, fileName);
      const int64_t afterBlock = blockEnd + ReadLine(body, blockEnd, line);
      if (marker && (!fileName.empty() || haveType)) {
        isFile = true;
        const size_t valueAt = type.find_first_not_of(" \t", type.find(':') + 1);
        if (haveType && valueAt != std::string::npos) contentType = type.substr(valueAt);
        cursor = afterBlock;
        if (cursor >= size) last = true;
      } else if (h2.empty()) {
        value = h3;
      } else {
        cursor = afterBlock + ReadLine(body, afterBlock, value);
        if (cursor >= size) {
          last = true;
          dropped = true;
        }
      }
    }
    if (dropped) continue;
    if (isFile) {
      const int64_t start = cursor;
      const int64_t match = detail::Search(body, start, delim, legacy.search);
      if (match < 0) {
        r.status = 2;
      } else {
        r.status = 0;
        const int64_t endOffset = match - 1;
        const int64_t fileSize = endOffset - start - 1;
        if (fileSize >= 1) {
          File f;
          f.localName = fileName;
          f.data =
              std::string(body.substr(static_cast<size_t>(start), static_cast<size_t>(fileSize)));
          f.contentType = contentType;
          size_t cut = 0;
          for (size_t i = 0; i < fileName.size(); ++i) {
            const char c = fileName[i];
            if (c == '\\' || c == ':' || (c == '/' && !legacy.separators)) cut = i + 1;
          }
          f.fileName = fileName.substr(cut);
          const size_t dot = f.fileName.rfind('.');
          if (dot != std::string::npos) f.extension = f.fileName.substr(dot + 1);
          f.nameOnly = f.extension.empty()
                           ? f.fileName
                           : f.fileName.substr(0, f.fileName.size() - f.extension.size() - 1);
          r.files.push_back(std::move(f));
          r.tagNames.push_back(name);
        }
        cursor = endOffset;
      }
    } else {
      for (;;) {
        const int64_t n = ReadLine(body, cursor, line);
        if (line == delim || cursor + n >= size || (!legacy.valueStop && line == closing)) break;
        if (!value.empty()) value += "\r\n";
        value += line;
        cursor += n;
      }
    }
    if (!fileName.empty()) {
      r.vars.push_back(name + "=" + fileName);
      continue;
    }
    bool folded = false;
    for (std::string& v : r.vars) {
      const size_t eq = v.find('=');
      if (eq != std::string::npos && detail::SameName(std::string_view(v).substr(0, eq), name)) {
        v = name + "=" + v.substr(eq + 1) + ", " + value;
        folded = true;
        break;
      }
    }
    if (!folded) r.vars.push_back(name + "=" + value);
  }
  return r;
}

}  // namespace kvref
