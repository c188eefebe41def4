// The multipart/form-data body parser. The delimiter is the body's first
// line; the body is then walked in passes, one line a pass, and every
// delimiter line starts a part: its header block is read, the part is
// classified, its file content or form value is taken, and it adds or extends
// a form variable.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "../fileout/pathrules.h"
#include "bodyview.h"
#include "bytescan.h"
#include "delimsearch.h"
#include "uploadstate.h"

namespace kvp {

namespace {

constexpr std::string_view kNameMarker = "name=\"";
constexpr std::string_view kFileNameMarker = "filename=\"";
constexpr std::string_view kContentType = "Content-Type:";
// Header names, for blocks that are read by name.
constexpr std::string_view kDispositionHeader = "Content-Disposition";
constexpr std::string_view kTypeHeader = "Content-Type";

// Lines run up to and including the next LF, or to the end of the body. Their
// text leaves out every CR and LF. The body is read through a view, so a line
// may come in several blocks; one that comes whole takes the direct road.
class LineScanner {
 public:
  explicit LineScanner(TBodyView& body) : body_(body), memory_(body.Memory()), size_(body.Size()) {}

  int64_t Length(int64_t start) {
    if (start >= size_) return 0;
    if (memory_) {
      const uint8_t* lf = FindByte(memory_ + start, static_cast<size_t>(size_ - start), '\n');
      return lf ? lf - (memory_ + start) + 1 : size_ - start;
    }
    for (int64_t at = start; at < size_;) {
      const std::span<const uint8_t> bytes = body_.Bytes(at, size_);
      if (const uint8_t* lf = FindByte(bytes.data(), bytes.size(), '\n'))
        return at + (lf - bytes.data()) + 1 - start;
      at += static_cast<int64_t>(bytes.size());
    }
    return size_ - start;
  }

  void Text(int64_t start, int64_t length, std::string& out) {
    out.clear();
    AppendText(start, length, out);
  }

  void AppendText(int64_t start, int64_t length, std::string& out) {
    if (memory_) return AppendClean(memory_ + start, memory_ + start + length, out);
    for (int64_t at = start, end = start + length; at < end;) {
      const std::span<const uint8_t> bytes = body_.Bytes(at, end);
      AppendClean(bytes.data(), bytes.data() + bytes.size(), out);
      at += static_cast<int64_t>(bytes.size());
    }
  }

  // Whether the line's text equals text, without building the text.
  bool TextEquals(int64_t start, int64_t length, std::string_view text) {
    if (memory_) return CleanEquals(memory_ + start, memory_ + start + length, text);
    return WindowedTextEquals(start, length, text);
  }

  bool TextEmpty(int64_t start, int64_t length) {
    if (memory_) {
      const uint8_t *b = memory_ + start, *e = b + length;
      if (e > b && e[-1] == '\n') --e;
      while (e > b && e[-1] == '\r') --e;
      return e == b;
    }
    for (int64_t at = start, end = start + length; at < end;) {
      const std::span<const uint8_t> bytes = body_.Bytes(at, end);
      for (const uint8_t c : bytes)
        if (c != '\r' && c != '\n') return false;
      at += static_cast<int64_t>(bytes.size());
    }
    return true;
  }

  // The first occurrence of pattern that lies wholly inside [from, end), or
  // -1. Blocks overlap by the pattern's length less one, so a pattern split
  // between two of them is still found.
  int64_t Find(int64_t from, int64_t end, std::string_view pattern) {
    if (memory_) return FindDelimiter(memory_, from, end, pattern);
    const auto len = static_cast<int64_t>(pattern.size());
    if (len < 2) return -1;
    body_.Widen(2 * len);
    for (int64_t at = from; end - at >= len;) {
      const std::span<const uint8_t> bytes = body_.Bytes(at, end, len);
      const auto n = static_cast<int64_t>(bytes.size());
      const int64_t hit = FindDelimiter(bytes.data(), 0, n, pattern);
      if (hit >= 0) return at + hit;
      if (at + n >= end) break;
      at += n - (len - 1);
    }
    return -1;
  }

 private:
  // Appends [p, e) without its CR bytes and without the LF that can only be
  // its last byte.
  static void AppendClean(const uint8_t* p, const uint8_t* e, std::string& out) {
    if (e > p && e[-1] == '\n') --e;
    while (p < e) {
      const uint8_t* cr = FindByte(p, static_cast<size_t>(e - p), '\r');
      const uint8_t* stop = cr ? cr : e;
      out.append(reinterpret_cast<const char*>(p), static_cast<size_t>(stop - p));
      p = stop + 1;
    }
  }

  // TextEquals for the line [p, e) held whole.
  static bool CleanEquals(const uint8_t* p, const uint8_t* e, std::string_view text) {
    if (e > p && e[-1] == '\n') --e;
    while (e > p && e[-1] == '\r') --e;
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

  // TextEquals through the window: a line that comes whole is compared so,
  // one split between windows byte by byte.
  bool WindowedTextEquals(int64_t start, int64_t length, std::string_view text) {
    const std::span<const uint8_t> whole = body_.Bytes(start, start + length, length);
    if (static_cast<int64_t>(whole.size()) == length)
      return CleanEquals(whole.data(), whole.data() + whole.size(), text);
    size_t j = 0;
    for (int64_t at = start, end = start + length; at < end;) {
      const std::span<const uint8_t> bytes = body_.Bytes(at, end);
      for (const uint8_t c : bytes) {
        if (c == '\r' || c == '\n') continue;
        if (j == text.size() || static_cast<char>(c) != text[j]) return false;
        ++j;
      }
      at += static_cast<int64_t>(bytes.size());
    }
    return j == text.size();
  }

  TBodyView& body_;
  // The whole body when it is in memory, else null.
  const uint8_t* memory_;
  const int64_t size_;
};

// The name and file name that a Content-Disposition line carries. The file
// name is looked for only after the name's closing quote, and only when the
// line has a name at all.
struct PartNames {
  std::string name;
  std::string fileName;
  bool fileMarker = false;  // the line has the file-name marker
};

PartNames ReadDisposition(std::string_view line) {
  PartNames out;
  const size_t marker = line.find(kNameMarker);
  if (marker == std::string_view::npos) return out;
  const size_t start = marker + kNameMarker.size();
  const size_t quote = line.find('"', start);
  size_t rest = start;
  if (quote != std::string_view::npos) {
    out.name = line.substr(start, quote - start);
    rest = quote + 1;
  }
  const size_t fileMarker = line.find(kFileNameMarker, rest);
  if (fileMarker != std::string_view::npos) {
    out.fileMarker = true;
    const size_t fstart = fileMarker + kFileNameMarker.size();
    const size_t fquote = line.find('"', fstart);
    if (fquote != std::string_view::npos) out.fileName = line.substr(fstart, fquote - fstart);
  }
  return out;
}

// The declared type on a browser's header line 2: the line from the
// fifteenth character counted from the header's first, so the name, its
// colon and one further character (the blank browsers write) are skipped.
std::string TypeFrom(std::string_view line, size_t headerAt) {
  const size_t from = headerAt + kContentType.size() + 1;
  return from <= line.size() ? std::string(line.substr(from)) : std::string();
}

// The value of a header line read by name: the text after its colon and
// any blanks or tabs that follow it.
std::string HeaderValue(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return std::string();
  const size_t from = line.find_first_not_of(" \t", colon + 1);
  return from == std::string_view::npos ? std::string() : std::string(line.substr(from));
}

// Whether a header line is named name: the text before its first colon,
// compared ignoring ASCII case.
bool HasHeaderName(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':') return false;
  if (line.compare(0, name.size(), name) == 0) return true;  // the usual spelling
  for (size_t i = 0; i < name.size(); ++i) {
    char c = line[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
    char n = name[i];
    if (n >= 'a' && n <= 'z') n = static_cast<char>(n - 0x20);
    if (c != n) return false;
  }
  return true;
}

// One part as its headers describe it.
struct PartHead {
  PartNames names;
  bool isFile = false;
  std::string contentType;  // files only
};

// Reads header blocks: what a part's header lines say of it, and where its
// content or value begins. Depends on nothing but the body's bytes, so a
// file item's names and type can be read again from its block at any time.
class HeaderBlockReader {
 public:
  explicit HeaderBlockReader(TBodyView& body) : size_(body.Size()), lines_(body) {}

  // Reads the part's header lines at cursor and classifies the part. The
  // three fixed header lines come first; a body that ends within them drops
  // the part. Afterwards cursor stands where the file content or the rest of
  // the form value begins; a form field's value holds its first line.
  // Returns false when the part is dropped.
  bool Read(int64_t& cursor, PartHead& head, std::string& value) {
    cursor_ = cursor;
    const bool kept = ReadBlock(head, value);
    cursor = cursor_;
    return kept;
  }

 private:
  bool ReadBlock(PartHead& head, std::string& value) {
    std::string &h1 = h1_, &h2 = h2_, &h3 = h3_;
    ReadFixedLine(h1);
    const int64_t line2 = cursor_;
    ReadFixedLine(h2);
    const int64_t line3 = cursor_;
    ReadFixedLine(h3);
    if (cursor_ >= size_) return false;
    const size_t typeAt = h2.find(kContentType);
    if (typeAt != std::string::npos) {
      ClassifyTyped(h1, h2, h3, typeAt, head);
      return true;
    }
    // Header line 2 is not the Content-Type line that browsers write: the
    // block is read by header name, when its empty line can be found.
    const int64_t blockEnd = h2.empty() ? line2 : h3.empty() ? line3 : NextEmptyLine(cursor_);
    if (blockEnd < 0) {
      ClassifyField(h1, h3, head, value);
      return true;
    }
    if (h2.empty()) {
      ClassifyOneLineBlock(h1, line3, h3, head, value);
      return true;
    }
    return ClassifyByName(h1, line2, blockEnd, head, value);
  }

  void ReadFixedLine(std::string& text) {
    const int64_t length = lines_.Length(cursor_);
    lines_.Text(cursor_, length, text);
    cursor_ += length;
  }

  // Header line 2 holds "Content-Type:": a file part, whether or not it has
  // a file name. Further header lines follow a non-empty line 3, up to the
  // first empty one.
  void ClassifyTyped(const std::string& h1, const std::string& h2, const std::string& h3,
                     size_t typeAt, PartHead& head) {
    head.names = ReadDisposition(h1);
    head.isFile = true;
    head.contentType = TypeFrom(h2, typeAt);
    if (h3.empty()) return;
    while (cursor_ < size_) {
      const int64_t length = lines_.Length(cursor_);
      const bool empty = lines_.TextEmpty(cursor_, length);
      cursor_ += length;
      if (empty) break;
    }
  }

  // A form field as the fixed header lines give it: named by line 1, its
  // value starting with line 3.
  static void ClassifyField(const std::string& h1, const std::string& h3, PartHead& head,
                            std::string& value) {
    head.names = ReadDisposition(h1);
    value = h3;
  }

  // A block of line 1 alone (line 2 is empty), as browsers send a form
  // field: the names come from line 1, whatever it is called, and so does
  // the type when line 1 is the Content-Type line. A file name, or that type,
  // makes it a file whose content starts at line 3; otherwise it is a form
  // field whose value starts with line 3.
  void ClassifyOneLineBlock(const std::string& h1, int64_t line3, const std::string& h3,
                            PartHead& head, std::string& value) {
    head.names = ReadDisposition(h1);
    const bool typed = head.names.fileMarker && HasHeaderName(h1, kTypeHeader);
    if (head.names.fileMarker && (!head.names.fileName.empty() || typed)) {
      head.isFile = true;
      if (typed) head.contentType = HeaderValue(h1);
      cursor_ = line3;
      return;
    }
    value = h3;
  }

  // The header block runs from line 1 (text h1) to the empty line at
  // blockEnd, line 2 included. Its first Content-Disposition line names the
  // part (line 1 when it has none), its first Content-Type line types it.
  // Content and value start after the empty line.
  bool ClassifyByName(const std::string& h1, int64_t line2, int64_t blockEnd, PartHead& head,
                      std::string& value) {
    std::string line, disposition, type;
    bool haveDisposition = HasHeaderName(h1, kDispositionHeader);
    bool haveType = !haveDisposition && HasHeaderName(h1, kTypeHeader);
    if (haveType) type = h1;
    for (int64_t at = line2; at < blockEnd && !(haveDisposition && haveType);) {
      const int64_t length = lines_.Length(at);
      lines_.Text(at, length, line);
      if (!haveDisposition && HasHeaderName(line, kDispositionHeader)) {
        disposition = line;
        haveDisposition = true;
      } else if (!haveType && HasHeaderName(line, kTypeHeader)) {
        type = line;
        haveType = true;
      }
      at += length;
    }
    head.names = ReadDisposition(disposition.empty() ? h1 : disposition);
    cursor_ = blockEnd + lines_.Length(blockEnd);
    if (head.names.fileMarker && (!head.names.fileName.empty() || haveType)) {
      head.isFile = true;
      if (haveType) head.contentType = HeaderValue(type);
      return true;
    }
    // The value's first line follows the block's empty line, as line 3
    // follows line 2 in a part without extra headers.
    ReadFixedLine(value);
    return cursor_ < size_;
  }

  // The offset of the first empty line at or after from, or -1 when the body
  // ends first. Remembers its last answer, so that a body of many parts
  // whose header blocks never end is still scanned once.
  int64_t NextEmptyLine(int64_t from) {
    if (from >= emptyFrom_ && (emptyAt_ < 0 || from <= emptyAt_)) return emptyAt_;
    emptyFrom_ = from;
    emptyAt_ = -1;
    for (int64_t at = from; at < size_;) {
      const int64_t length = lines_.Length(at);
      if (lines_.TextEmpty(at, length)) {
        emptyAt_ = at;
        break;
      }
      at += length;
    }
    return emptyAt_;
  }

  const int64_t size_;
  LineScanner lines_;
  int64_t cursor_ = 0;
  // Kept from block to block, so that their room is reused.
  std::string h1_, h2_, h3_;
  // NextEmptyLine's last question and answer; nothing asked yet.
  int64_t emptyFrom_ = INT64_MAX;
  int64_t emptyAt_ = -1;
};

// Walks one body. The cursor only moves forward; every step below reads from
// it and leaves it where the next step begins.
class BodyParser {
 public:
  BodyParser(TUploadState& state, const TBodySource& body, IClientProbe& probe, int64_t window)
      : state_(state),
        body_(body),
        view_(body, window),
        size_(body.Size()),
        lines_(view_),
        headers_(view_),
        probe_(probe) {}

  void Run() {
    // Items keep their places in the body as 32-bit offsets.
    if (size_ > int64_t{UINT32_MAX}) throw std::length_error("body too large");
    state_.FParsedBody = &body_;
    state_.FWindow = view_.Window();
    lines_.Text(0, lines_.Length(0), delimiter_);
    // A body that starts with an empty line has no usable delimiter: every
    // blank line would count as one. Nothing is taken from it.
    if (delimiter_.empty()) return;
    closing_ = delimiter_ + "--";
    state_.FVars->EnableNameIndex();

    while (!lastPass_) {
      if (!probe_.IsClientConnected()) {
        state_.FPassesRun = passes_;
        return;
      }
      if (NextLineIsDelimiter()) ReadPart();
      ++passes_;
    }
  }

  // The passes done whole so far.
  int64_t Passes() const { return passes_; }

 private:
  // The line at the cursor, consumed; whether it starts a part. Reaching the
  // end of the body makes this the last pass.
  bool NextLineIsDelimiter() {
    const int64_t length = lines_.Length(cursor_);
    const bool startsPart = lines_.TextEquals(cursor_, length, delimiter_);
    Advance(length);
    return startsPart;
  }

  void ReadPart() {
    PartHead head;
    const int64_t headAt = cursor_;
    const bool kept = headers_.Read(cursor_, head, value_);
    if (cursor_ >= size_) lastPass_ = true;
    if (!kept) return;
    if (head.isFile) {
      ReadFileContent(headAt);
      value_.clear();
    } else {
      ReadFormValue();
    }
    StoreVariable(head.names, value_);
  }

  // --- File content.

  // Searches the content for the delimiter. Found: a file item when the
  // content before the CR LF that closes it has at least one byte, and the
  // cursor moves to that CR LF's LF. Not found: the status says so and the
  // cursor stays at the content's start.
  void ReadFileContent(int64_t headAt) {
    const int64_t contentStart = cursor_;
    // The boundary must end before the body's last byte to count. A search
    // that failed from some offset fails from any later one too.
    const int64_t match =
        contentStart >= noMatchFrom_ ? -1 : lines_.Find(contentStart, size_ - 1, delimiter_);
    if (match < 0) {
      noMatchFrom_ = std::min(noMatchFrom_, contentStart);
      state_.FStatus = 2;
      return;
    }
    state_.FStatus = 0;
    const int64_t endOffset = match - 1;
    const int64_t fileSize = endOffset - contentStart - 1;
    if (fileSize >= 1) StoreFile(headAt, contentStart, fileSize);
    cursor_ = endOffset;
  }

  void StoreFile(int64_t headAt, int64_t contentStart, int64_t fileSize) {
    state_.FFiles.push_back({static_cast<uint32_t>(headAt), static_cast<uint32_t>(contentStart),
                             static_cast<uint32_t>(fileSize)});
    ++state_.FFileCount;
  }

  // --- Form value.

  // The value starts with its first line's text, which the header step left
  // in it; then every line is added, each after CR LF once the value is not
  // empty, until the delimiter line, the closing line or the body's last
  // line, none of which is used.
  void ReadFormValue() {
    const auto lead = static_cast<uint8_t>(delimiter_[0]);
    for (;;) {
      // Lines holding no byte equal to the delimiter's first can be neither
      // the delimiter line nor the closing line: those that lie whole in the
      // block at hand join without a look.
      const std::span<const uint8_t> block = view_.Bytes(cursor_, size_);
      const uint8_t* const start = block.data();
      const uint8_t* const plainEnd = PlainLinesEnd(block, lead);
      for (const uint8_t* line = start; line < plainEnd;)
        line = AppendValueLine(line, plainEnd, value_);
      cursor_ += plainEnd - start;
      const int64_t length = lines_.Length(cursor_);
      if (cursor_ + length >= size_ || lines_.TextEquals(cursor_, length, delimiter_) ||
          lines_.TextEquals(cursor_, length, closing_))
        return;
      if (!value_.empty()) value_.append("\r\n", 2);
      lines_.AppendText(cursor_, length, value_);
      cursor_ += length;
    }
  }

  // Where the run of whole lines at the block's start that hold no lead byte
  // ends: at the start of the line holding the next one, before a line that
  // runs past the block, and always before the body's last line.
  const uint8_t* PlainLinesEnd(std::span<const uint8_t> block, uint8_t lead) const {
    const uint8_t* const b = block.data();
    if (block.empty()) return b;
    const uint8_t* limit = FindByte(b, block.size(), lead);
    if (!limit) {
      const bool bodyEnds = cursor_ + static_cast<int64_t>(block.size()) >= size_;
      limit = b + block.size() - (bodyEnds ? 1 : 0);
    }
    for (const uint8_t* p = limit; p > b; --p)
      if (p[-1] == '\n') return p;
    return b;
  }

  // The value rule for the line at b, which ends by end: CR LF before its
  // text once the value is not empty, every CR of the line left out.
  // Returns where the next line starts.
  static const uint8_t* AppendValueLine(const uint8_t* b, const uint8_t* end, std::string& value) {
    const uint8_t* const lf = FindByte(b, static_cast<size_t>(end - b), '\n');
    const uint8_t* const stop = lf ? lf : end;
    if (!value.empty()) value.append("\r\n", 2);
    for (const uint8_t* p = b; p < stop;) {
      const uint8_t* const cr = FindByte(p, static_cast<size_t>(stop - p), '\r');
      const uint8_t* const e = cr ? cr : stop;
      value.append(reinterpret_cast<const char*>(p), static_cast<size_t>(e - p));
      p = e + 1;
    }
    return lf ? lf + 1 : end;
  }

  // --- Form variable.

  // A part with a file name adds name=file name; any other adds name=value,
  // or extends the first line of that name with ", " and the value.
  void StoreVariable(const PartNames& names, std::string& value) {
    TStringList& vars = *state_.FVars;
    if (!names.fileName.empty()) {
      vars.Add(names.name + "=" + names.fileName);
      return;
    }
    const int32_t line = vars.FindOrAdd(names.name, value);
    if (line >= 0) {
      value.insert(0, ", ");
      vars.ExtendValue(line, names.name, value);
    }
  }

  void Advance(int64_t length) {
    cursor_ += length;
    if (cursor_ >= size_) lastPass_ = true;
  }

  TUploadState& state_;
  const TBodySource& body_;
  TBodyView view_;
  const int64_t size_;
  LineScanner lines_;
  HeaderBlockReader headers_;
  IClientProbe& probe_;
  std::string delimiter_;
  std::string closing_;
  // Kept from part to part, so that its room is reused.
  std::string value_;
  int64_t cursor_ = 0;
  // Where a search for the delimiter first failed.
  int64_t noMatchFrom_ = INT64_MAX;
  int64_t passes_ = 0;
  bool lastPass_ = false;
};

}  // namespace

void ReadLine(TMemoryStream& stream, int64_t start, std::string& text, int64_t& length) {
  text.clear();
  length = 0;
  if (start < 0 || start >= stream.Size()) return;
  TBodyView view(stream);
  LineScanner lines(view);
  length = lines.Length(start);
  lines.Text(start, length, text);
  stream.SetPosition(start + length);
}

void TUploadState::ParseBody(const TBodySource& body, IClientProbe& probe, int64_t window) {
  BodyParser parser(*this, body, probe, window);
  try {
    parser.Run();
  } catch (...) {
    FPassesRun = parser.Passes();  // a pass that failed half-way is not counted
    throw;
  }
}

namespace {

// The header block of the part at headAt, read again as the parse read it. A
// header block is short: a small window reads it from a spooled body.
PartHead ReadHead(const TBodySource& body, int64_t window, int64_t headAt) {
  TBodyView view(body, std::min<int64_t>(window, kHeaderWindow));
  HeaderBlockReader headers(view);
  PartHead head;
  std::string unused;
  headers.Read(headAt, head, unused);
  return head;
}

}  // namespace

std::string TUploadState::TagNameOf(size_t index) const {
  return std::move(ReadHead(*FParsedBody, FWindow, FFiles[index].HeadAt).names.name);
}

TFileText TUploadState::FileText(size_t index) const {
  PartHead head = ReadHead(*FParsedBody, FWindow, FFiles[index].HeadAt);
  TFileText text;
  text.TagName = std::move(head.names.name);
  text.LocalName = std::move(head.names.fileName);
  text.ContentType = std::move(head.contentType);
  const TNameParts<char> parts = SplitClientName<char>(text.LocalName);
  text.FileName = parts.fileName;
  text.Extension = parts.extension;
  text.NameOnly = parts.nameOnly;
  return text;
}

}  // namespace kvp
