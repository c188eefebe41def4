// The multipart/form-data body parser. The delimiter is the body's first
// line; the body is then walked part by part: file parts with content become
// file items, every part adds or extends a form variable.

#include <cstring>
#include <string>
#include <string_view>

#include "../fileout/pathrules.h"
#include "collation.h"
#include "bytescan.h"
#include "delimsearch.h"
#include "uploadstate.h"

namespace kvp {

namespace {

constexpr std::string_view kNameMarker = "name=\"";
constexpr std::string_view kFileNameMarker = "filename=\"";
constexpr std::string_view kContentType = "Content-Type:";

// Lines run up to and including the next LF, or to the end of the body. Their
// text leaves out every CR and LF.
class LineScanner {
 public:
  LineScanner(const uint8_t* data, int64_t size) : data_(data), size_(size) {}

  int64_t Length(int64_t start) const {
    if (start >= size_) return 0;
    const uint8_t* lf = FindByte(data_ + start, static_cast<size_t>(size_ - start), '\n');
    return lf ? lf - (data_ + start) + 1 : size_ - start;
  }

  void Text(int64_t start, int64_t length, std::string& out) const {
    out.clear();
    const uint8_t* p = data_ + start;
    const uint8_t* e = Trimmed(start, length);
    while (p < e) {
      const uint8_t* cr = FindByte(p, static_cast<size_t>(e - p), '\r');
      const uint8_t* stop = cr ? cr : e;
      out.append(reinterpret_cast<const char*>(p), static_cast<size_t>(stop - p));
      p = stop + 1;
    }
  }

  // Whether the line's text equals text, without building the text.
  bool TextEquals(int64_t start, int64_t length, std::string_view text) const {
    const uint8_t* p = data_ + start;
    const uint8_t* e = Trimmed(start, length);
    const auto n = static_cast<size_t>(e - p);
    if (n < text.size()) return false;
    if (n == text.size()) return std::memcmp(p, text.data(), n) == 0;
    if (!FindByte(p, n, '\r')) return false;
    size_t j = 0;
    for (; p < e; ++p) {
      if (*p == '\r') continue;
      if (j == text.size() || static_cast<char>(*p) != text[j]) return false;
      ++j;
    }
    return j == text.size();
  }

  bool TextEmpty(int64_t start, int64_t length) const {
    return Trimmed(start, length) == data_ + start;
  }

 private:
  // End of the line without its LF and without the CRs just before it; the
  // text may still hold CRs inside.
  const uint8_t* Trimmed(int64_t start, int64_t length) const {
    const uint8_t* b = data_ + start;
    const uint8_t* e = b + length;
    if (e > b && e[-1] == '\n') --e;
    while (e > b && e[-1] == '\r') --e;
    return e;
  }

  const uint8_t* data_;
  int64_t size_;
};

// Where a run of value lines that need no look of their own ends: lines that
// hold no byte equal to the delimiter line's first can be neither the
// delimiter line nor the closing line. The run stops at the start of the
// line holding the next such byte, and always before the body's last line
// (the one that reaches the end), which never joins a value.
int64_t PlainLinesEnd(const uint8_t* data, int64_t size, int64_t cursor, uint8_t first) {
  if (cursor >= size) return cursor;
  const uint8_t* q = FindByte(data + cursor, static_cast<size_t>(size - cursor), first);
  const int64_t limit = q ? q - data : size - 1;
  for (int64_t i = limit - 1; i >= cursor; --i)
    if (data[i] == '\n') return i + 1;
  return cursor;
}

// Appends the lines of [b, e), each ending with LF, as the value rule does one
// line at a time: CR LF before each line's text once the value is not empty,
// CR bytes left out.
void AppendValueLines(const uint8_t* b, const uint8_t* e, std::string& value) {
  while (b < e) {
    const uint8_t* lf = FindByte(b, static_cast<size_t>(e - b), '\n');
    if (!lf) lf = e;
    if (!value.empty()) value.append("\r\n");
    while (b < lf) {
      const uint8_t* cr = FindByte(b, static_cast<size_t>(lf - b), '\r');
      const uint8_t* stop = cr ? cr : lf;
      value.append(reinterpret_cast<const char*>(b), static_cast<size_t>(stop - b));
      b = cr ? cr + 1 : lf;
    }
    b = lf + 1;
  }
}

struct PartNames {
  std::string name;
  std::string fileName;
};

// The name and file name from the Content-Disposition line. The file name is
// looked for only after the name's closing quote.
PartNames ReadDisposition(const std::string& line) {
  PartNames out;
  const size_t marker = line.find(kNameMarker);
  if (marker == std::string::npos) return out;
  const size_t start = marker + kNameMarker.size();
  const size_t quote = line.find('"', start);
  size_t rest = start;
  if (quote != std::string::npos) {
    out.name = line.substr(start, quote - start);
    rest = quote + 1;
  }
  const size_t fileMarker = line.find(kFileNameMarker, rest);
  if (fileMarker != std::string::npos) {
    const size_t fstart = fileMarker + kFileNameMarker.size();
    const size_t fquote = line.find('"', fstart);
    if (fquote != std::string::npos) out.fileName = line.substr(fstart, fquote - fstart);
  }
  return out;
}

}  // namespace

void ReadLine(TMemoryStream& stream, int64_t start, std::string& text, int64_t& length) {
  text.clear();
  length = 0;
  if (start < 0 || start >= stream.Size()) return;
  const LineScanner lines(stream.Memory(), stream.Size());
  length = lines.Length(start);
  lines.Text(start, length, text);
  stream.SetPosition(start + length);
}

void TUploadState::ParseBody(TMemoryStream& body, IClientProbe& probe) {
  const uint8_t* data = body.Memory();
  const int64_t size = body.Size();
  const LineScanner lines(data, size);

  std::string delimiter;
  int64_t length = 0;
  ReadLine(body, 0, delimiter, length);
  // A body that starts with an empty line has no usable delimiter: every blank
  // line would count as one. Nothing is taken from it.
  if (delimiter.empty()) return;
  const std::string closing = delimiter + "--";

  FVars->EnableNameIndex();
  int64_t cursor = 0;
  bool lastPass = false;
  std::string header1, header2, header3, value, text;

  auto readHeader = [&](std::string& out) {
    ReadLine(body, cursor, out, length);
    cursor += length;
    return cursor;
  };

  while (!lastPass) {
    if (!probe.IsClientConnected()) return;

    length = lines.Length(cursor);
    const bool startsPart = lines.TextEquals(cursor, length, delimiter);
    cursor += length;
    if (cursor >= size) lastPass = true;
    if (!startsPart) continue;

    readHeader(header1);
    const int64_t afterHeader2 = readHeader(header2);
    readHeader(header3);
    if (cursor >= size) {
      lastPass = true;  // the body ends inside the headers: the part is dropped
      continue;
    }

    const PartNames names = ReadDisposition(header1);
    // The name's index slot is fetched while the part's content is read.
    const TStringList::TNameKey key =
        names.fileName.empty() ? FVars->PrepareName(names.name) : TStringList::TNameKey{};
    const size_t typeAt = header2.find(kContentType);
    // A part with a file name and no Content-Type line is a file as well; its
    // content begins right after the empty line that ends its headers.
    const bool untyped = typeAt == std::string::npos && header2.empty() && !names.fileName.empty();
    value.clear();

    if (typeAt != std::string::npos || untyped) {
      if (untyped) {
        cursor = afterHeader2;
      } else if (!header3.empty()) {
        for (;;) {  // further header lines, up to the first empty one
          length = lines.Length(cursor);
          const bool empty = lines.TextEmpty(cursor, length);
          cursor += length;
          if (cursor >= size) lastPass = true;
          if (empty) break;
        }
      }
      const int64_t contentStart = cursor;
      // The boundary must end before the body's last byte to count.
      const int64_t match = FindDelimiter(data, contentStart, size - 1, delimiter);
      if (match < 0) {
        FStatus = 2;  // the cursor stays at the content's start
      } else {
        FStatus = 0;
        const int64_t endOffset = match - 1;
        // The CR LF before the boundary closes the content.
        const int64_t fileSize = endOffset - contentStart - 1;
        if (fileSize >= 1) {
          TFileRecord item;
          item.LocalName = names.fileName;
          item.Data.reset(TMemoryStream::CreateView(data + contentStart, fileSize));
          item.Data->SetPosition(fileSize);
          if (!untyped && typeAt + kContentType.size() + 1 <= header2.size())
            item.ContentType = header2.substr(typeAt + kContentType.size() + 1);
          item.FileName = ExtractFileName(item.LocalName, Separators::WindowsAndSlash);
          const std::string_view ext = ExtractFileExt(item.FileName, Separators::WindowsAndSlash);
          if (ext.size() > 1) item.Extension = ext.substr(1);
          item.NameOnly = item.Extension.empty()
                              ? item.FileName
                              : item.FileName.substr(0, ext.data() - item.FileName.data());
          FFiles.push_back(std::move(item));
          ++FFileCount;
          FTagNames->Add(names.name);
        }
        cursor = endOffset;
      }
    } else {
      value = header3;
      const auto first = static_cast<uint8_t>(delimiter[0]);
      for (;;) {
        const int64_t plainEnd = PlainLinesEnd(data, size, cursor, first);
        if (plainEnd > cursor) {
          AppendValueLines(data + cursor, data + plainEnd, value);
          cursor = plainEnd;
        }
        length = lines.Length(cursor);
        if (cursor + length >= size || lines.TextEquals(cursor, length, delimiter) ||
            lines.TextEquals(cursor, length, closing))
          break;
        lines.Text(cursor, length, text);
        if (!value.empty()) value.append("\r\n");
        value.append(text);
        cursor += length;
      }
    }

    if (!names.fileName.empty()) {
      FVars->Add(names.name + "=" + names.fileName);
    } else {
      const int32_t line = FVars->FindOrAdd(names.name, value, key);
      if (line >= 0) {
        value.insert(0, ", ");
        FVars->ExtendValue(line, names.name, value);
      }
    }
  }
}

}  // namespace kvp
