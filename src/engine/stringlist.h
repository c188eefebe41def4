// An ordered list of 8-bit lines with a name=value view. A line's name is the
// text before its first "=" (a line without "=" has none), its value the text
// after it. Names and whole lines compare with SameText (locale-aware,
// ignoring case).
//
// Lines live in a few large blocks owned by the list instead of one heap
// block each: a body of 100,000 small form fields costs a handful of
// allocations, not 100,000. Nothing in a block is freed before the list is;
// a line that outgrows its room moves to new room with twice the space, so
// repeated growth of one line costs linear time overall.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "blockpool.h"

namespace kvp {

class TStringList {
 public:
  TStringList() = default;
  TStringList(const TStringList&) = delete;
  TStringList& operator=(const TStringList&) = delete;

  int32_t Count() const noexcept { return static_cast<int32_t>(count_); }
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
  // A name hashed ahead of FindOrAdd, with its index slot asked into the
  // cache meanwhile; good for any later FindOrAdd of the same name.
  struct TNameKey {
    uint32_t hash = 0;
    bool hashed = false;
  };
  TNameKey PrepareName(std::string_view name) const;
  int32_t FindOrAdd(std::string_view name, std::string_view value, const TNameKey& key);
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
  // The room reserved for a line's text is kept in the 4 bytes just before
  // the text.
  struct Line {
    char* text = nullptr;
    uint32_t length = 0;
  };
  // A page of records is one cached block: 16384 lines on x64, 32768 on x86.
  static constexpr size_t kPageLines = TBlock::kPooledMin / sizeof(Line);
  static constexpr int kPageShift = std::countr_zero(kPageLines);
  static_assert(std::has_single_bit(kPageLines));

  const Line& At(int32_t index) const;
  Line& At(int32_t index);
  Line& Slot(size_t index) noexcept {
    return index < kPageLines
               ? head_[index]
               : static_cast<Line*>(
                     pages_[(index >> kPageShift) - 1].Data())[index & (kPageLines - 1)];
  }
  const Line& Slot(size_t index) const noexcept {
    return const_cast<TStringList*>(this)->Slot(index);
  }
  Line& NewLine();
  // Room for n bytes of text after a 4-byte room count; stays put until the
  // list dies.
  char* Allocate(size_t n);
  static uint32_t RoomOf(const Line& line) noexcept;
  // Writes the joined pieces as the line's new text: in place when they fit
  // its room, else in new room of at least twice the old.
  void Store(Line& line, std::string_view a, std::string_view b = {}, std::string_view c = {},
             std::string_view d = {});
  static std::string_view TextOf(const Line& line) noexcept { return {line.text, line.length}; }
  static int32_t EqOf(const Line& line) noexcept;
  static std::string_view NameOf(const Line& line) noexcept;
  int32_t Append(std::string_view a, std::string_view b = {}, std::string_view c = {});
  // Append, and the new line into the index when it is kept.
  int32_t AppendIndexed(std::string_view a, std::string_view b = {}, std::string_view c = {});
  void IndexLine(int32_t index, uint32_t hash);
  int32_t Probe(std::string_view name, uint32_t hash) const;
  // Makes room in the index for one more name.
  void ReserveSlot();
  // Hashes every name again and indexes the first line of each.
  void RebuildIndex();
  struct Entry {
    uint32_t hash;
    int32_t line;  // -1: free
  };
  Entry* Slots() const noexcept { return static_cast<Entry*>(slots_.Data()); }

  size_t count_ = 0;
  std::vector<Line> head_;      // the first kPageLines lines
  std::vector<TBlock> pages_;   // the others, kPageLines to a page
  std::vector<TBlock> blocks_;  // line text
  char* free_ = nullptr;
  size_t room_ = 0;
  size_t nextBlock_ = 1024;

  bool indexed_ = false;
  // Open addressing: the first line of each name, found by the name's hash.
  TBlock slots_;
  size_t slotCount_ = 0;
  size_t used_ = 0;
};

}  // namespace kvp
