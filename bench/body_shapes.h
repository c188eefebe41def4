// Request bodies for the benchmarks: benign uploads, many fields, and the
// shapes a hostile client can send, each built up to about a given size.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kvbench {

inline const std::string kDelim = "-----------------------------7d1";

// Random bytes that hold CR, LF and "-" at their natural rate.
inline void FillRandom(std::string& out, size_t n, uint64_t seed) {
  const size_t at = out.size();
  out.resize(at + n);
  uint64_t x = seed | 1;
  for (size_t i = 0; i < n; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(&out[at + i], &x, std::min<size_t>(8, n - i));
  }
}

inline std::string FieldPart(const std::string& name, const std::string& value) {
  return "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value;
}

inline std::string FileHead(const std::string& name, const std::string& fileName) {
  return "Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" + fileName +
         "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
}

// Appends a part and the delimiter line after it.
inline void Close(std::string& body) {
  body += "\r\n" + kDelim + "\r\n";
}
inline void Finish(std::string& body) {
  body.resize(body.size() - 2);
  body += "--\r\n";
}

// A few large files of random bytes and two fields, about `total` bytes.
inline std::string BenignBody(size_t total, int files) {
  std::string body = kDelim + "\r\n";
  body += FieldPart("title", "Holiday");
  Close(body);
  const size_t each = (total - 1024) / static_cast<size_t>(files);
  for (int i = 0; i < files; ++i) {
    body += FileHead("f" + std::to_string(i), "C:\\data\\part" + std::to_string(i) + ".bin");
    FillRandom(body, each, 0x9E3779B97F4A7C15ull * static_cast<uint64_t>(i + 1));
    Close(body);
  }
  body += FieldPart("note", "done");
  Close(body);
  Finish(body);
  return body;
}

// One file whose content repeats `unit` up to about `total` bytes.
inline std::string RepeatedContentBody(size_t total, const std::string& unit) {
  std::string body = kDelim + "\r\n" + FileHead("f", "x.bin");
  body.reserve(total + 256);
  while (body.size() + unit.size() < total) body += unit;
  body += "END";
  Close(body);
  Finish(body);
  return body;
}

// count fields, each with a name of its own, or all under one name (their
// values then fold into one variable).
inline std::string FieldsBody(int count, bool sameName = false) {
  std::string body = kDelim + "\r\n";
  for (int i = 0; i < count; ++i) {
    body +=
        FieldPart(sameName ? "field" : "field" + std::to_string(i), "value" + std::to_string(i));
    Close(body);
  }
  Finish(body);
  return body;
}

// --- Names that all collide under the name index's former hash: FNV-1a
// (64-bit) over a name's bytes, as the portable build took it (names of
// capitals, digits, signs and bytes from 0x80 up fold to themselves).
//
// FNV-1a is h = (h ^ b) * P per byte, and h ^ b = h + d with d = (h & 0xff ^
// b) - (h & 0xff): two blocks of n bytes from one state end in the same state
// exactly when the sum of (d_i - d'_i) * P^(n-i) is 0 mod 2^64, whatever the
// state was. The vectors below are short solutions for n = 10 (found by
// lattice reduction of {e : sum e_i P^(10-i) = 0 mod 2^64}); each block pair
// is built byte by byte so that its differences are those of a vector. A
// stage of four blocks that end in one state, repeated nine times, gives 4^9
// names of one 64-bit hash.

// The start value as the former code had it (FNV's own is 14695981039346656037).
constexpr uint64_t kFnvBasis = 1469598103934665603ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

inline uint64_t Fnv1a(std::string_view s) {
  uint64_t h = kFnvBasis;
  for (const char c : s) h = (h ^ static_cast<unsigned char>(c)) * kFnvPrime;
  return h;
}

// Bytes a field name may hold and that no fold changes.
inline bool CollidingNameByte(int b) {
  return (b >= 0x20 && b < 0x7f && b != '"' && b != '=' && !(b >= 'a' && b <= 'z')) || b >= 0x80;
}

inline std::vector<std::string> FnvCollidingNames(size_t count) {
  constexpr int kLength = 10;
  static constexpr std::array<std::array<int, kLength>, 3> kDifferences = {{
      {-40, 15, -7, 5, 18, -34, -10, -11, 41, -5},
      {50, 7, 10, 14, -29, 3, 34, 22, 50, 9},
      {-21, -46, 7, 27, -52, 24, -42, -38, 40, 45},
  }};
  constexpr size_t kWays = kDifferences.size() + 1;
  std::vector<std::array<std::string, kWays>> stages;
  uint64_t state = kFnvBasis;
  for (size_t names = 1; names < count; names *= kWays) {
    // A leading byte common to the four blocks; another one when no block
    // fits after it.
    for (int lead = 0x21;; ++lead) {
      if (!CollidingNameByte(lead)) continue;
      std::array<std::string, kWays> block;
      std::array<uint64_t, kWays> at;
      for (size_t w = 0; w < kWays; ++w) {
        block[w] = std::string(1, static_cast<char>(lead));
        at[w] = (state ^ static_cast<unsigned>(lead)) * kFnvPrime;
      }
      bool built = true;
      for (int i = 0; i < kLength && built; ++i) {
        const int low = static_cast<int>(at[0] & 0xff);
        built = false;
        for (int x = 0; x < 256 && !built; ++x) {
          if (!CollidingNameByte(x ^ low)) continue;
          std::array<int, kWays> byte{x ^ low};
          built = true;
          for (size_t w = 1; w < kWays && built; ++w) {
            const int other = static_cast<int>(at[w] & 0xff);
            const int y = x - low + other - kDifferences[w - 1][static_cast<size_t>(i)];
            built = y >= 0 && y < 256 && CollidingNameByte(y ^ other);
            byte[w] = y ^ other;
          }
          if (!built) continue;
          for (size_t w = 0; w < kWays; ++w) {
            block[w] += static_cast<char>(byte[w]);
            at[w] = (at[w] ^ static_cast<unsigned>(byte[w])) * kFnvPrime;
          }
        }
      }
      if (!built) continue;
      state = at[0];  // the state of all four blocks
      stages.push_back(block);
      break;
    }
  }
  std::vector<std::string> out;
  out.reserve(count);
  for (size_t n = 0; n < count; ++n) {
    std::string name;
    size_t digits = n;
    for (const auto& stage : stages) {
      name += stage[digits % kWays];
      digits /= kWays;
    }
    out.push_back(std::move(name));
  }
  return out;
}

// count distinct names as long as those above, from the same bytes.
inline std::vector<std::string> DistinctNames(size_t count, size_t length) {
  std::vector<std::string> out;
  out.reserve(count);
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (size_t n = 0; n < count; ++n) {
    std::string name = std::to_string(n) + "#";
    while (name.size() < length) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      const int b = static_cast<int>(x >> 56);
      if (CollidingNameByte(b)) name += static_cast<char>(b);
    }
    out.push_back(std::move(name));
  }
  return out;
}

// One short field for each name.
inline std::string NamedFieldsBody(const std::vector<std::string>& names) {
  std::string body = kDelim + "\r\n";
  for (const std::string& name : names) {
    body += FieldPart(name, "v");
    Close(body);
  }
  Finish(body);
  return body;
}

// --- Shapes that a hostile client can send, at any size. Each repeats one
// unit up to about `total` bytes.

// A body that starts with one form field and ends with `tail` repeated.
inline std::string AfterClosing(size_t total, const std::string& unit) {
  std::string body = kDelim + "\r\n" + FieldPart("v", "x");
  Close(body);
  Finish(body);
  while (body.size() + unit.size() < total) body += unit;
  return body;
}

// One form field whose value repeats unit.
inline std::string InValue(size_t total, const std::string& unit) {
  std::string body = kDelim + "\r\n" + FieldPart("v", "x\n");
  while (body.size() + unit.size() + 64 < total) body += unit;
  Close(body);
  Finish(body);
  return body;
}

// One part whose header block holds one line repeated, then a small file.
inline std::string HugeHeaderBlock(size_t total, const std::string& line) {
  std::string body = kDelim + "\r\ncontent-disposition: form-data; name=\"f\"; filename=\"a\"\r\n";
  while (body.size() + line.size() + 64 < total) body += line;
  body += "\r\nDATA";
  Close(body);
  Finish(body);
  return body;
}

// Parts repeated up to total; each part is `part` after a delimiter line
// that uses `delim`.
inline std::string RepeatedParts(size_t total, const std::string& delim, const std::string& part) {
  std::string body;
  body.reserve(total + 256);
  const std::string unit = delim + "\r\n" + part;
  while (body.size() + unit.size() + delim.size() + 4 < total) body += unit;
  body += delim + "--\r\n";
  return body;
}

// Tiny form fields, each with a name of its own: `--b`, name="123456", "A".
inline std::string TinyFields(size_t total, const std::string& delim) {
  std::string body;
  body.reserve(total + 256);
  for (int i = 0; body.size() + 64 < total; ++i)
    body += delim + "\r\nname=\"" + std::to_string(i) + "\"\r\n\r\nA\r\n";
  body += delim + "--\r\n";
  return body;
}

inline const std::string kTinyFile = "name=\"\"filename=\"x\"\r\nContent-Type:\r\n\r\nA\r\n";

// The shapes whose time per byte must stay flat as they grow.
struct Shape {
  const char* name;
  std::string (*make)(size_t total);
};

inline const std::vector<Shape>& HostileShapes() {
  static const std::string shortDelim = "--b";
  static const std::vector<Shape> shapes = {
      {"file content only CR LF pairs", [](size_t t) { return RepeatedContentBody(t, "\r\n"); }},
      {"delimiter less its last byte, repeated",
       [](size_t t) { return RepeatedContentBody(t, kDelim.substr(0, kDelim.size() - 1)); }},
      {"one-byte lines in a file", [](size_t t) { return RepeatedContentBody(t, "\n"); }},
      {"one-byte lines in a form value", [](size_t t) { return InValue(t, "\n"); }},
      {"one-byte lines after the closing line", [](size_t t) { return AfterClosing(t, "\n"); }},
      {"delimiter lines after the closing line",
       [](size_t t) { return AfterClosing(t, kDelim + "\n"); }},
      {"header block of one-line headers", [](size_t t) { return HugeHeaderBlock(t, "h:\r\n"); }},
      {"header blocks that never end",
       [](size_t t) { return RepeatedParts(t, shortDelim, "a: 1\r\nb: 2\r\nc: 3\r\n"); }},
      {"tiny file parts", [](size_t t) { return RepeatedParts(t, shortDelim, kTinyFile); }},
      {"tiny file parts, type line first",
       [](size_t t) {
         return RepeatedParts(t, shortDelim,
                              "content-type: a\r\nname=\"\"; filename=\"x\"\r\n\r\nA\r\n");
       }},
      {"tiny form fields, distinct names", [](size_t t) { return TinyFields(t, shortDelim); }},
  };
  return shapes;
}

}  // namespace kvbench
