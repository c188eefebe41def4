// An ordered list of 8-bit lines with a name=value view. A line's name is the
// text before its first "=" (a line without "=" has none), its value the text
// after it. Names and whole lines compare with SameText (locale-aware,
// ignoring case) as text of the list's code page (collation.h).
//
// Lines live in a few large blocks owned by the list instead of one heap
// block each: a body of 100,000 small form fields costs a handful of
// allocations, not 100,000. A line costs 12 bytes of record (where its text
// lies, the hash of its name, its bucket chain) and its text with a length
// of one or two bytes in front; a line that grows gets room of its own, with
// a mark, room and length in 9 bytes before its text. Nothing in a block is
// freed before the list is; a line that outgrows its room moves to new room
// with twice the space, so repeated growth of one line costs linear time
// overall. The shared blocks hold up to 4 GiB in all (lines of 16 KiB and
// more live in blocks of their own and take 5 bytes there); a list that
// needs more raises std::length_error.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "blockpool.h"
#include "pagedarray.h"

namespace kvp {

class TStringList {
 public:
  // Names compared as text of codePage; 0, the ANSI code page, as 8-bit text.
  explicit TStringList(unsigned codePage = 0) : codePage_(codePage) {}
  TStringList(const TStringList&) = delete;
  TStringList& operator=(const TStringList&) = delete;

  int32_t Count() const noexcept { return static_cast<int32_t>(lines_.size()); }
  // Line index as it stands; valid until the list changes that line or dies.
  std::string_view Strings(int32_t index) const;

  // Appends a line; returns its index.
  int32_t Add(std::string_view line);

  // The name of line index: the text before its first "=", or empty.
  std::string_view Names(int32_t index) const;
  // The value of line index: the text after its first "=", or empty.
  std::string_view ValueFromIndex(int32_t index) const;
  // Index of the first line whose name matches, or -1.
  int32_t IndexOfName(std::string_view name) const;
  // The same, and appends name=value when no line has the name; the name is
  // hashed once for both. Returns the index found, or -1 after appending.
  int32_t FindOrAdd(std::string_view name, std::string_view value);
  // Index of the first line that matches as a whole, or -1.
  int32_t IndexOf(std::string_view line) const;
  // The value of the first line with that name, or empty text.
  std::string Values(std::string_view name) const;
  // Rewrites the first line with that name as name=value, spelled with the
  // name given here, or appends name=value when no line has the name.
  void SetValue(std::string_view name, std::string_view value);
  // Replaces line index.
  void Put(int32_t index, std::string_view line);
  // Rewrites line index as name=its value followed by suffix, spelled with
  // the name given (equal to the line's own under SameText). Costs the
  // length of what is added, not of the whole line, when the two spellings
  // have the same length.
  void ExtendValue(int32_t index, std::string_view name, std::string_view suffix);

  // Keeps a hash index of names so that IndexOfName costs O(1) instead of a
  // scan. The index agrees with SameText because MatchKey does.
  void EnableNameIndex();

 private:
  // Where a line's text lies: its header's address in the shared blocks
  // (block number and offset). The header's first byte says what follows:
  // below 0x80 the length, up to 0xBF the low bits of a two-byte length,
  // kRoomed room and length (4 bytes each) before the text, kOwn the number
  // of the block of its own that begins with room and length.
  using Ref = uint32_t;
  static constexpr Ref kNoText = ~Ref{0};
  static constexpr int kOffsetBits = 18;  // shared blocks are at most 256 KiB
  static constexpr Ref kOffsetMask = (Ref{1} << kOffsetBits) - 1;
  static constexpr unsigned char kRoomed = 0xC0;
  static constexpr unsigned char kOwn = 0xC1;
  struct Line {
    Ref ref = kNoText;
    uint32_t hash = 0;  // of its name, while it is in the index
    int32_t next = -1;  // the next line in its name bucket
  };
  struct Text {
    char* at = nullptr;
    uint32_t length = 0;
  };

  const Line& At(int32_t index) const;
  Line& At(int32_t index);
  char* HeaderAt(Ref ref) const noexcept {
    return static_cast<char*>(shared_[ref >> kOffsetBits].Data()) + (ref & kOffsetMask);
  }
  // The room and length before a text with room of its own; null for a text
  // with just its length.
  char* RoomAt(Ref ref) const noexcept {
    if (ref == kNoText) return nullptr;
    char* const h = HeaderAt(ref);
    const auto mark = static_cast<unsigned char>(h[0]);
    if (mark == kRoomed) return h + 1;
    if (mark != kOwn) return nullptr;
    uint32_t own;
    std::memcpy(&own, h + 1, sizeof own);
    return static_cast<char*>(own_[own].Data());
  }
  bool HasRoom(Ref ref) const noexcept { return RoomAt(ref) != nullptr; }
  Text TextAt(Ref ref) const noexcept;
  std::string_view TextOf(const Line& line) const noexcept {
    const Text t = TextAt(line.ref);
    return {t.at, t.length};
  }
  // Room for n bytes of text: exactly n with its length before it, or n with
  // room and length before it when roomed (always so in a block of its own).
  // Stays put until the list dies.
  Ref Allocate(size_t n, bool roomed);
  // need bytes in the last shared block, a new one when they do not fit.
  Ref Reserve(size_t need);
  // Writes the joined pieces as the line's new text: in place when they fit
  // its room, else in new room (twice the old, at least).
  void Store(Line& line, std::string_view a, std::string_view b = {}, std::string_view c = {},
             std::string_view d = {});
  static int32_t EqOf(std::string_view text) noexcept;
  std::string_view NameOf(const Line& line) const noexcept;
  int32_t Append(std::string_view a, std::string_view b = {}, std::string_view c = {});
  // Append, and the new line into the index when it is kept.
  int32_t AppendIndexed(std::string_view a, std::string_view b = {}, std::string_view c = {});

  // The name index: linear hashing over chains of lines. Buckets are added
  // one at a time as names arrive, each taking half of one older bucket's
  // chain, so the index never rebuilds itself whole and never holds two
  // copies of itself.
  size_t BucketOf(uint32_t hash) const noexcept;
  // Adds line index, whose name no indexed line has, to the index. Changes
  // nothing when it fails.
  void IndexLine(int32_t index, uint32_t hash);
  // Indexes line index when it has a name and no indexed line has that name
  // (only the first line of a name is indexed).
  void IndexIfFirstOfName(int32_t index);
  int32_t Probe(std::string_view name, uint32_t hash) const;
  void SplitBucket();
  // Hashes every name again and indexes the first line of each.
  void RebuildIndex();

  const unsigned codePage_;
  TPagedArray<Line> lines_;
  std::vector<TBlock> shared_;  // line text, many lines to a block
  std::vector<TBlock> own_;     // one long line each
  uint32_t freeAt_ = 0;         // offset of the free room in the last shared block
  uint32_t room_ = 0;           // its size
  size_t nextBlock_ = 1024;

  bool indexed_ = false;
  TPagedArray<int32_t> buckets_;  // the first line of each chain, or -1
  int level_ = 0;                 // 2^level buckets at the start of this round
  size_t split_ = 0;              // the next bucket to split in this round
  size_t used_ = 0;               // names in the index
};

}  // namespace kvp
