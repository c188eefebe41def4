#include "stringlist.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "collation.h"

namespace kvp {

namespace {

// Text blocks grow from 1 KiB to 256 KiB (a cached size); a line needing a
// sizeable share of one gets a block of its own, so a big value never
// strands the rest of a block.
constexpr size_t kMaxBlock = TBlock::kPooledMin;
constexpr size_t kOwnBlock = 16 * 1024;
constexpr size_t kHeader = sizeof(uint32_t);
constexpr size_t kMaxLine = std::numeric_limits<uint32_t>::max() - kHeader;

uint32_t Hash32(std::string_view name) {
  const uint64_t h = MatchHash(name);
  return static_cast<uint32_t>(h ^ (h >> 32));
}

bool Overlaps(std::string_view piece, const char* begin, size_t size) {
  if (piece.empty() || size == 0) return false;
  // Compared as integers: the pieces may come from anywhere.
  const auto p = reinterpret_cast<uintptr_t>(piece.data());
  const auto b = reinterpret_cast<uintptr_t>(begin);
  return p < b + size && b < p + piece.size();
}

char* CopyTo(char* at, std::string_view piece) {
  if (!piece.empty()) std::memcpy(at, piece.data(), piece.size());
  return at + piece.size();
}

void SetRoom(char* text, size_t room) {
  const auto r = static_cast<uint32_t>(room);
  std::memcpy(text - kHeader, &r, kHeader);
}

}  // namespace

const TStringList::Line& TStringList::At(int32_t index) const {
  if (index < 0 || index >= Count()) throw std::out_of_range("TStringList index out of range");
  return Slot(static_cast<size_t>(index));
}

TStringList::Line& TStringList::At(int32_t index) {
  if (index < 0 || index >= Count()) throw std::out_of_range("TStringList index out of range");
  return Slot(static_cast<size_t>(index));
}

TStringList::Line& TStringList::NewLine() {
  if (count_ >= static_cast<size_t>(INT32_MAX)) throw std::length_error("TStringList too long");
  if (count_ < kPageLines) {
    head_.emplace_back();
  } else if ((count_ & (kPageLines - 1)) == 0) {
    pages_.emplace_back(kPageLines * sizeof(Line));
  }
  Line& line = Slot(count_);
  line = Line{};
  ++count_;
  return line;
}

uint32_t TStringList::RoomOf(const Line& line) noexcept {
  if (!line.text) return 0;
  uint32_t room;
  std::memcpy(&room, line.text - kHeader, kHeader);
  return room;
}

int32_t TStringList::EqOf(const Line& line) noexcept {
  if (line.length == 0) return -1;
  const void* eq = std::memchr(line.text, '=', line.length);
  return eq ? static_cast<int32_t>(static_cast<const char*>(eq) - line.text) : -1;
}

std::string_view TStringList::NameOf(const Line& line) noexcept {
  const int32_t eq = EqOf(line);
  return eq < 0 ? std::string_view() : std::string_view(line.text, static_cast<size_t>(eq));
}

char* TStringList::Allocate(size_t n) {
  n += kHeader;
  char* at;
  if (n <= room_) {
    at = free_;
    free_ += n;
    room_ -= n;
  } else if (n >= kOwnBlock) {
    blocks_.emplace_back(n);
    at = static_cast<char*>(blocks_.back().Data());
  } else {
    const size_t size = std::max(nextBlock_, n);
    blocks_.emplace_back(size);
    nextBlock_ = std::min(nextBlock_ * 2, kMaxBlock);
    at = static_cast<char*>(blocks_.back().Data());
    free_ = at + n;
    room_ = size - n;
  }
  return at + kHeader;
}

void TStringList::Store(Line& line, std::string_view a, std::string_view b, std::string_view c,
                        std::string_view d) {
  const size_t total = a.size() + b.size() + c.size() + d.size();
  if (total > kMaxLine) throw std::length_error("TStringList line too long");
  const uint32_t room = RoomOf(line);
  char* at = line.text;
  const bool aliased = Overlaps(a, line.text, room) || Overlaps(b, line.text, room) ||
                       Overlaps(c, line.text, room) || Overlaps(d, line.text, room);
  if (!at || total > room || aliased) {
    // The old room stays allocated, so pieces that point into it stay valid.
    const size_t wanted = room == 0 ? total : std::max(total, std::min(kMaxLine, size_t{room} * 2));
    at = Allocate(wanted);
    SetRoom(at, wanted);
  }
  char* end = CopyTo(CopyTo(CopyTo(CopyTo(at, a), b), c), d);
  line.text = at;
  line.length = static_cast<uint32_t>(end - at);
}

int32_t TStringList::Append(std::string_view a, std::string_view b, std::string_view c) {
  Line line;
  Store(line, a, b, c);  // may throw: nothing is appended then
  NewLine() = line;
  return Count() - 1;
}

std::string_view TStringList::Strings(int32_t index) const {
  return TextOf(At(index));
}

int32_t TStringList::Add(std::string_view text) {
  return AppendIndexed(text);
}

int32_t TStringList::AppendIndexed(std::string_view a, std::string_view b, std::string_view c) {
  if (indexed_) ReserveSlot();
  const int32_t index = Append(a, b, c);
  if (indexed_) {
    const Line& line = Slot(static_cast<size_t>(index));
    if (EqOf(line) >= 0) IndexLine(index, Hash32(NameOf(line)));
  }
  return index;
}

void TStringList::IndexLine(int32_t index, uint32_t hash) {
  Entry* slots = Slots();
  const size_t mask = slotCount_ - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    if (slots[i].line < 0) {
      slots[i] = {hash, index};
      ++used_;
      return;
    }
    // Only the first line of a name is indexed.
    if (slots[i].hash == hash && SameText(NameOf(Slot(static_cast<size_t>(slots[i].line))),
                                          NameOf(Slot(static_cast<size_t>(index)))))
      return;
  }
}

int32_t TStringList::Probe(std::string_view name, uint32_t hash) const {
  if (slotCount_ == 0) return -1;
  const Entry* slots = Slots();
  const size_t mask = slotCount_ - 1;
  for (size_t i = hash & mask; slots[i].line >= 0; i = (i + 1) & mask)
    if (slots[i].hash == hash && SameText(NameOf(Slot(static_cast<size_t>(slots[i].line))), name))
      return slots[i].line;
  return -1;
}

void TStringList::ReserveSlot() {
  if ((used_ + 1) * 2 <= slotCount_) return;
  const size_t count = slotCount_ == 0 ? 64 : slotCount_ * 2;
  TBlock grown(count * sizeof(Entry));
  auto* to = static_cast<Entry*>(grown.Data());
  std::fill_n(to, count, Entry{0, -1});
  const size_t mask = count - 1;
  const Entry* from = Slots();
  for (size_t s = 0; s < slotCount_; ++s) {
    if (from[s].line < 0) continue;
    size_t i = from[s].hash & mask;
    while (to[i].line >= 0) i = (i + 1) & mask;
    to[i] = from[s];
  }
  slots_ = std::move(grown);
  slotCount_ = count;
}

void TStringList::RebuildIndex() {
  size_t named = 0;
  for (size_t i = 0; i < count_; ++i) named += EqOf(Slot(i)) >= 0;
  size_t count = 64;
  while ((named + 1) * 2 > count) count *= 2;
  // Hashes are taken again, as a line rewritten by Put may have a new name.
  TBlock fresh(count * sizeof(Entry));
  std::fill_n(static_cast<Entry*>(fresh.Data()), count, Entry{0, -1});
  slots_ = std::move(fresh);
  slotCount_ = count;
  used_ = 0;
  for (int32_t i = 0; i < Count(); ++i) {
    const Line& line = Slot(static_cast<size_t>(i));
    if (EqOf(line) >= 0) IndexLine(i, Hash32(NameOf(line)));
  }
}

void TStringList::EnableNameIndex() {
  if (indexed_) return;
  RebuildIndex();
  indexed_ = true;
}

TStringList::TNameKey TStringList::PrepareName(std::string_view name) const {
  if (!indexed_ || name.find('=') != std::string_view::npos) return {};
  const uint32_t hash = Hash32(name);
  if (slotCount_ != 0) __builtin_prefetch(Slots() + (hash & (slotCount_ - 1)));
  return {hash, true};
}

int32_t TStringList::FindOrAdd(std::string_view name, std::string_view value) {
  return FindOrAdd(name, value, TNameKey{});
}

int32_t TStringList::FindOrAdd(std::string_view name, std::string_view value, const TNameKey& key) {
  if (!indexed_ || name.find('=') != std::string_view::npos) {
    const int32_t found = IndexOfName(name);
    if (found < 0) AppendIndexed(name, "=", value);
    return found;
  }
  const uint32_t hash = key.hashed ? key.hash : Hash32(name);
  const int32_t found = Probe(name, hash);
  if (found >= 0) return found;
  ReserveSlot();
  IndexLine(Append(name, "=", value), hash);
  return -1;
}

std::string_view TStringList::Names(int32_t index) const {
  return NameOf(At(index));
}

std::string_view TStringList::ValueFromIndex(int32_t index) const {
  const Line& line = At(index);
  const int32_t eq = EqOf(line);
  if (eq < 0) return {};
  return TextOf(line).substr(static_cast<size_t>(eq) + 1);
}

int32_t TStringList::IndexOfName(std::string_view name) const {
  if (indexed_) return Probe(name, Hash32(name));
  for (size_t i = 0; i < count_; ++i) {
    const Line& line = Slot(i);
    if (EqOf(line) >= 0 && SameText(NameOf(line), name)) return static_cast<int32_t>(i);
  }
  return -1;
}

int32_t TStringList::IndexOf(std::string_view text) const {
  for (size_t i = 0; i < count_; ++i)
    if (SameText(TextOf(Slot(i)), text)) return static_cast<int32_t>(i);
  return -1;
}

std::string TStringList::Values(std::string_view name) const {
  const int32_t i = IndexOfName(name);
  return i < 0 ? std::string() : std::string(ValueFromIndex(i));
}

void TStringList::SetValue(std::string_view name, std::string_view value) {
  const int32_t i = IndexOfName(name);
  if (i < 0) {
    FindOrAdd(name, value);
    return;
  }
  // The name matches the line's own under SameText: its index entry stays.
  Store(At(i), name, "=", value);
}

void TStringList::Put(int32_t index, std::string_view text) {
  Store(At(index), text);
  if (indexed_) RebuildIndex();  // the line may now have another name, or none
}

void TStringList::ExtendValue(int32_t index, std::string_view name, std::string_view suffix) {
  Line& line = At(index);
  const int32_t eq = EqOf(line);
  uint32_t room = RoomOf(line);
  if (eq >= 0 && static_cast<size_t>(eq) == name.size() && !Overlaps(suffix, line.text, room)) {
    const size_t total = size_t{line.length} + suffix.size();
    // The text stored last can widen into the free room after it.
    if (total > room && line.text + room == free_ && total - room <= room_ && total <= kMaxLine) {
      const size_t extra = total - room;
      free_ += extra;
      room_ -= extra;
      room = static_cast<uint32_t>(total);
      SetRoom(line.text, room);
    }
    if (total <= room) {
      // The suffix lies outside the line; the name, if it lies inside, is
      // moved as a whole before anything else is written.
      if (!name.empty()) std::memmove(line.text, name.data(), name.size());
      if (!suffix.empty()) std::memcpy(line.text + line.length, suffix.data(), suffix.size());
      line.length = static_cast<uint32_t>(total);
      return;
    }
  }
  const std::string_view value =
      eq < 0 ? std::string_view() : TextOf(line).substr(static_cast<size_t>(eq) + 1);
  Store(line, name, "=", value, suffix);
}

}  // namespace kvp
