// An ordered list of 8-bit lines with a name=value view. A line's name is the
// text before its first "=" (a line without "=" has none), its value the text
// after it. Names and whole lines compare with SameText (locale-aware,
// ignoring case).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvp {

class TStringList {
 public:
  int32_t Count() const noexcept { return static_cast<int32_t>(lines_.size()); }
  const std::string& Strings(int32_t index) const { return lines_.at(static_cast<size_t>(index)); }

  // Appends a line; returns its index.
  int32_t Add(std::string line);

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
  // Replaces line index as it stands (its name must stay the same).
  void Put(int32_t index, std::string line);
  // Rewrites line index as name=its value followed by suffix, spelled with
  // the name given (equal to the line's own under SameText). Costs the
  // length of what is added, not of the whole line, when the two spellings
  // have the same length.
  void ExtendValue(int32_t index, std::string_view name, std::string_view suffix);

  // Keeps a hash index of names so that IndexOfName costs O(1) instead of a
  // scan. The index agrees with SameText because MatchKey does.
  void EnableNameIndex();

 private:
  static std::string_view NameOf(std::string_view line);
  void IndexLine(int32_t index);
  void IndexLine(int32_t index, uint32_t hash);
  int32_t Probe(std::string_view name, uint32_t hash) const;
  void GrowIndex();

  std::vector<std::string> lines_;
  bool indexed_ = false;
  // Open addressing: the first line of each name, by the name's MatchHash.
  struct Slot {
    uint32_t hash = 0;
    int32_t line = -1;
  };
  std::vector<Slot> slots_;
  size_t used_ = 0;
};

}  // namespace kvp
