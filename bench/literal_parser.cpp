#include "literal_parser.h"

#include <string>
#include <vector>

namespace kvbench {

namespace {

// One byte at a time, as the line reader is described.
void ReadLineLiteral(kvp::TMemoryStream& s, int64_t start, std::string& text, int64_t& length) {
  text.clear();
  length = 0;
  if (start >= s.Size()) return;
  s.SetPosition(start);
  uint8_t b = 0;
  for (;;) {
    s.Read(&b, 1);
    ++length;
    if (b != '\r' && b != '\n') text += static_cast<char>(b);
    if (b == '\n' || s.Position() >= s.Size()) break;
  }
}

}  // namespace

void LiteralParseBody(kvp::TUploadState& st, kvp::TMemoryStream& body, kvp::IClientProbe& probe) {
  const int64_t size = body.Size();
  st.FParsedBody = &body;
  std::string delim, line, h1, h2, h3, value;
  int64_t length = 0;
  ReadLineLiteral(body, 0, delim, length);
  if (delim.empty()) return;
  const std::string closing = delim + "--";
  const auto dlen = static_cast<int64_t>(delim.size());
  // Longest proper border of each prefix, for restarting after a partial match.
  std::vector<int64_t> border(delim.size(), 0);
  for (int64_t i = 1, k = 0; i < dlen; ++i) {
    while (k > 0 && delim[static_cast<size_t>(i)] != delim[static_cast<size_t>(k)])
      k = border[static_cast<size_t>(k - 1)];
    if (delim[static_cast<size_t>(i)] == delim[static_cast<size_t>(k)]) ++k;
    border[static_cast<size_t>(i)] = k;
  }

  int64_t cursor = 0;
  bool last = false;
  while (!last) {
    if (!probe.IsClientConnected()) return;
    ReadLineLiteral(body, cursor, line, length);
    cursor += length;
    if (cursor >= size) last = true;
    if (line != delim) continue;
    const int64_t headAt = cursor;
    ReadLineLiteral(body, cursor, h1, length);
    cursor += length;
    ReadLineLiteral(body, cursor, h2, length);
    cursor += length;
    const int64_t afterH2 = cursor;
    ReadLineLiteral(body, cursor, h3, length);
    cursor += length;
    if (cursor >= size) {
      last = true;
      continue;
    }
    std::string name, fileName;
    value.clear();
    const size_t m = h1.find("name=\"");
    if (m != std::string::npos) {
      size_t rest = m + 6;
      const size_t q = h1.find('"', rest);
      if (q != std::string::npos) {
        name = h1.substr(rest, q - rest);
        rest = q + 1;
      }
      const size_t f = h1.find("filename=\"", rest);
      if (f != std::string::npos) {
        const size_t fq = h1.find('"', f + 10);
        if (fq != std::string::npos) fileName = h1.substr(f + 10, fq - f - 10);
      }
    }
    const size_t typeAt = h2.find("Content-Type:");
    const bool untyped = h2.empty() && !fileName.empty();
    if (typeAt != std::string::npos || untyped) {
      if (untyped) {
        cursor = afterH2;
      } else if (!h3.empty()) {
        do {
          ReadLineLiteral(body, cursor, line, length);
          cursor += length;
          if (cursor >= size) last = true;
        } while (!line.empty());
      }
      const int64_t start = cursor;
      body.SetPosition(start);
      int64_t k = 0, endOffset = -1;
      bool found = false;
      uint8_t b = 0;
      while (body.Read(&b, 1) == 1) {
        if (dlen >= 2) {
          while (k > 0 && b != static_cast<uint8_t>(delim[static_cast<size_t>(k)]))
            k = border[static_cast<size_t>(k - 1)];
          if (b == static_cast<uint8_t>(delim[static_cast<size_t>(k)])) ++k;
        }
        if (body.Position() >= size) break;
        if (k == dlen && dlen >= 2) {
          found = true;
          endOffset = body.Position() - dlen - 1;
          break;
        }
      }
      if (!found) {
        st.FStatus = 2;
      } else {
        st.FStatus = 0;
        const int64_t fileSize = endOffset - start - 1;
        if (fileSize >= 1) {
          // Read byte by byte, as described, then kept where it lies.
          std::string bytes(static_cast<size_t>(fileSize), '\0');
          body.SetPosition(start);
          body.Read(bytes.data(), fileSize);
          st.FFiles.push_back({static_cast<uint32_t>(headAt), static_cast<uint32_t>(start),
                               static_cast<uint32_t>(fileSize)});
          ++st.FFileCount;
        }
        cursor = endOffset;
      }
    } else {
      value = h3;
      for (;;) {
        ReadLineLiteral(body, cursor, line, length);
        if (line == delim || line == closing || cursor + length >= size) break;
        if (!value.empty()) value += "\r\n";
        value += line;
        cursor += length;
      }
    }
    if (!fileName.empty()) {
      st.FVars->Add(name + "=" + fileName);
    } else {
      const int32_t i = st.FVars->IndexOfName(name);
      if (i < 0)
        st.FVars->Add(name + "=" + value);
      else
        st.FVars->Put(i, name + "=" + std::string(st.FVars->ValueFromIndex(i)) + ", " + value);
    }
  }
}

}  // namespace kvbench
