#include "sitepath.h"

#include <array>

namespace kvserve {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string UpperAscii(std::string_view s) {
  std::string upper(s);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9 (and the console's own names) name
// devices in every folder, with any extension.
bool IsDeviceName(std::string_view segment) {
  std::string stem = UpperAscii(segment.substr(0, segment.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  static constexpr std::array<std::string_view, 6> kNames = {"CON", "PRN",    "AUX",
                                                             "NUL", "CONIN$", "CONOUT$"};
  for (std::string_view name : kNames)
    if (stem == name) return true;
  if (stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) && stem[3] >= '0' &&
      stem[3] <= '9')
    return true;
  return false;
}

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

}  // namespace

std::string TargetPath::Path() const {
  std::string path = "/";
  for (size_t i = 0; i < segments.size(); ++i) {
    if (i > 0) path += '/';
    path += segments[i];
  }
  if (trailingSlash && !segments.empty()) path += '/';
  return path;
}

std::string TargetPath::EncodedPath() const {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : Path()) {
    if (IsUnreserved(c) || c == '/') {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    }
  }
  return encoded;
}

Verdict CheckSegment(std::string_view segment) {
  if (segment == "..") return {400, "parent segment"};
  if (segment.size() > 255) return {400, "name too long"};
  for (char c : segment) {
    const auto u = static_cast<unsigned char>(c);
    if (u == 0) return {400, "NUL in the path"};
    if (u < 0x20 || u == 0x7F) return {400, "control byte in the path"};
    switch (c) {
      case '\\':
        return {400, "backslash in the path"};
      case ':':
        return {400, "colon (drive or stream) in the path"};
      case '*':
      case '?':
      case '"':
      case '<':
      case '>':
      case '|':
        return {400, "wildcard or reserved character in the path"};
      default:
        break;
    }
  }
  // Windows drops trailing dots and spaces when it opens a name: "x.asp." or
  // "x.asp " would reach x.asp under another extension.
  if (!segment.empty() && (segment.back() == '.' || segment.back() == ' '))
    return {400, "name ending in a dot or space"};
  if (IsDeviceName(segment)) return {400, "device name in the path"};
  return {};
}

Verdict ParseTarget(std::string_view target, TargetPath& out) {
  out = TargetPath{};
  // Absolute form: skip scheme and authority.
  for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
    if (target.size() >= scheme.size() && EqualsNoCase(target.substr(0, scheme.size()), scheme)) {
      target.remove_prefix(scheme.size());
      const size_t slash = target.find('/');
      const size_t query = target.find('?');
      if (slash == std::string_view::npos || (query != std::string_view::npos && query < slash))
        return {400, "absolute target without a path"};
      target.remove_prefix(slash);
      break;
    }
  }
  if (target.empty() || target.front() != '/') return {400, "target is not a path"};
  if (target.find('#') != std::string_view::npos) return {400, "fragment in the target"};

  const size_t question = target.find('?');
  std::string_view raw = target.substr(0, question);
  if (question != std::string_view::npos) out.query = std::string(target.substr(question + 1));
  if (raw.find('\\') != std::string_view::npos) return {400, "backslash in the path"};

  // Percent-decoding, once: "%252e" stays the three characters "%2e".
  std::string decoded;
  decoded.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '%') {
      decoded += raw[i];
      continue;
    }
    if (i + 2 >= raw.size()) return {400, "truncated percent escape"};
    const int hi = HexValue(raw[i + 1]);
    const int lo = HexValue(raw[i + 2]);
    if (hi < 0 || lo < 0) return {400, "malformed percent escape"};
    decoded += static_cast<char>(hi * 16 + lo);
    i += 2;
  }

  // Segments: empty ones and "." drop out; anything refused stops here.
  std::string_view rest = decoded;
  while (!rest.empty()) {
    const size_t slash = rest.find('/');
    const std::string_view segment = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (segment.empty() || segment == ".") continue;
    if (Verdict v = CheckSegment(segment)) return v;
    out.segments.emplace_back(segment);
  }
  out.trailingSlash = out.segments.empty() || decoded.back() == '/' || decoded.ends_with("/.");
  return {};
}

std::string LowerExtension(std::string_view name) {
  const size_t dot = name.find_last_of('.');
  if (dot == std::string_view::npos) return {};
  std::string ext(name.substr(dot));
  if (ext.find_first_of("/\\") != std::string::npos) return {};
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

}  // namespace kvserve
