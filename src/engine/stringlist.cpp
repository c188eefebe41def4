#include "stringlist.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "collation.h"

namespace kvp {

namespace {

// Shared text blocks grow from 1 KiB to 256 KiB (a cached size); a line
// needing a sizeable share of one gets a block of its own, so a big value
// never strands the rest of a block.
constexpr size_t kMaxBlock = TBlock::kPooledSize;
constexpr size_t kOwnBlockAt = 16 * 1024;
constexpr size_t kRoomHeader = 2 * sizeof(uint32_t);  // room, then length
constexpr size_t kMaxLine = std::numeric_limits<uint32_t>::max() - kRoomHeader;
constexpr int kFirstLevel = 6;  // 64 buckets to begin with
// Shared blocks a reference can name: all but the last, whose final offset
// would read as kNoText.
constexpr size_t kMaxShared = (size_t{1} << (32 - 18)) - 1;

// The length in front of a text without room of its own (below kOwnBlockAt,
// so one byte below 128, else two: six bits in the first, eight in the
// second).
size_t LengthBytes(size_t n) {
  return n < 128 ? 1 : 2;
}

uint32_t ReadU32(const char* at) {
  uint32_t v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

void WriteU32(char* at, size_t v) {
  const auto u = static_cast<uint32_t>(v);
  std::memcpy(at, &u, sizeof u);
}

uint32_t Hash32(std::string_view name, unsigned codePage) {
  const uint64_t h = MatchHash(name, codePage);
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

}  // namespace

const TStringList::Line& TStringList::At(int32_t index) const {
  if (index < 0 || index >= Count()) throw std::out_of_range("TStringList index out of range");
  return lines_[static_cast<size_t>(index)];
}

TStringList::Line& TStringList::At(int32_t index) {
  if (index < 0 || index >= Count()) throw std::out_of_range("TStringList index out of range");
  return lines_[static_cast<size_t>(index)];
}

TStringList::Text TStringList::TextAt(Ref ref) const noexcept {
  if (ref == kNoText) return {};
  char* const h = HeaderAt(ref);
  const auto b0 = static_cast<unsigned char>(h[0]);
  if (b0 < 0x80) return {h + 1, b0};
  if (b0 < kRoomed)
    return {h + 2, (b0 & 0x3fu) | (uint32_t{static_cast<unsigned char>(h[1])} << 6)};
  char* const room = RoomAt(ref);
  return {room + kRoomHeader, ReadU32(room + sizeof(uint32_t))};
}

TStringList::Ref TStringList::Reserve(size_t need) {
  if (shared_.empty() || need > room_) {
    if (shared_.size() >= kMaxShared) throw std::length_error("TStringList too large");
    const size_t size = std::max(nextBlock_, need);
    shared_.emplace_back(size);
    nextBlock_ = std::min(nextBlock_ * 2, kMaxBlock);
    freeAt_ = 0;
    room_ = static_cast<uint32_t>(size);
  }
  const Ref ref = static_cast<Ref>((shared_.size() - 1) << kOffsetBits) | freeAt_;
  freeAt_ += static_cast<uint32_t>(need);
  room_ -= static_cast<uint32_t>(need);
  return ref;
}

TStringList::Ref TStringList::Allocate(size_t n, bool roomed) {
  if (n >= kOwnBlockAt) {
    if (own_.size() >= UINT32_MAX) throw std::length_error("TStringList too large");
    own_.emplace_back(n + kRoomHeader);
    try {
      const Ref ref = Reserve(1 + sizeof(uint32_t));
      char* const h = HeaderAt(ref);
      h[0] = static_cast<char>(kOwn);
      WriteU32(h + 1, own_.size() - 1);
      char* const room = static_cast<char*>(own_.back().Data());
      WriteU32(room, n);
      WriteU32(room + sizeof(uint32_t), 0);
      return ref;
    } catch (...) {
      own_.pop_back();
      throw;
    }
  }
  const Ref ref = Reserve(n + (roomed ? 1 + kRoomHeader : LengthBytes(n)));
  char* const h = HeaderAt(ref);
  if (roomed) {
    h[0] = static_cast<char>(kRoomed);
    WriteU32(h + 1, n);
    WriteU32(h + 1 + sizeof(uint32_t), 0);
  } else if (n < 128) {
    h[0] = static_cast<char>(n);
  } else {
    h[0] = static_cast<char>(0x80 | (n & 0x3f));
    h[1] = static_cast<char>(n >> 6);
  }
  return ref;
}

void TStringList::Store(Line& line, std::string_view a, std::string_view b, std::string_view c,
                        std::string_view d) {
  const size_t total = a.size() + b.size() + c.size() + d.size();
  if (total > kMaxLine) throw std::length_error("TStringList line too long");
  if (line.ref == kNoText) {
    // A line's first text gets exactly its size.
    if (total == 0) return;
    line.ref = Allocate(total, false);
    const Text now = TextAt(line.ref);
    CopyTo(CopyTo(CopyTo(CopyTo(now.at, a), b), c), d);
    if (total >= kOwnBlockAt) WriteU32(RoomAt(line.ref) + sizeof(uint32_t), total);
    return;
  }
  const Text old = TextAt(line.ref);
  char* header = RoomAt(line.ref);
  const uint32_t room = header ? ReadU32(header) : old.length;
  const bool aliased = Overlaps(a, old.at, room) || Overlaps(b, old.at, room) ||
                       Overlaps(c, old.at, room) || Overlaps(d, old.at, room);
  // A text without room of its own keeps its length for good.
  const bool fits = !aliased && (header ? total <= room : total == old.length);
  if (!fits) {
    // A line that changes gets room of its own, twice its old at least. The
    // old room stays allocated, so pieces that point into it stay valid.
    const size_t wanted = std::max(total, std::min(kMaxLine, std::max<size_t>(room, 1) * 2));
    line.ref = Allocate(wanted, true);
    header = RoomAt(line.ref);
  }
  CopyTo(CopyTo(CopyTo(CopyTo(header ? header + kRoomHeader : old.at, a), b), c), d);
  if (header) WriteU32(header + sizeof(uint32_t), total);
}

int32_t TStringList::EqOf(std::string_view text) noexcept {
  const size_t eq = text.find('=');
  return eq == std::string_view::npos ? -1 : static_cast<int32_t>(eq);
}

std::string_view TStringList::NameOf(const Line& line) const noexcept {
  const std::string_view text = TextOf(line);
  const int32_t eq = EqOf(text);
  return eq < 0 ? std::string_view() : text.substr(0, static_cast<size_t>(eq));
}

int32_t TStringList::Append(std::string_view a, std::string_view b, std::string_view c) {
  if (lines_.size() >= static_cast<size_t>(INT32_MAX))
    throw std::length_error("TStringList too long");
  Line line;
  Store(line, a, b, c);  // may throw: nothing is appended then
  lines_.push_back(line);
  return Count() - 1;
}

std::string_view TStringList::Strings(int32_t index) const {
  return TextOf(At(index));
}

int32_t TStringList::Add(std::string_view text) {
  return AppendIndexed(text);
}

int32_t TStringList::AppendIndexed(std::string_view a, std::string_view b, std::string_view c) {
  const int32_t index = Append(a, b, c);
  if (!indexed_) return index;
  // A line is added whole or not at all: one that cannot be indexed goes
  // again.
  try {
    IndexIfFirstOfName(index);
  } catch (...) {
    lines_.pop_back();
    throw;
  }
  return index;
}

void TStringList::IndexIfFirstOfName(int32_t index) {
  const Line& line = lines_[static_cast<size_t>(index)];
  if (EqOf(TextOf(line)) < 0) return;
  const std::string_view name = NameOf(line);
  const uint32_t hash = Hash32(name, codePage_);
  if (Probe(name, hash) < 0) IndexLine(index, hash);
}

size_t TStringList::BucketOf(uint32_t hash) const noexcept {
  const size_t mask = (size_t{1} << level_) - 1;
  const size_t bucket = hash & mask;
  return bucket < split_ ? hash & ((mask << 1) | 1) : bucket;
}

void TStringList::IndexLine(int32_t index, uint32_t hash) {
  // The bucket the line will need comes first: a failure leaves all as it was.
  if (used_ + 1 > buckets_.size()) SplitBucket();
  const size_t bucket = BucketOf(hash);
  Line& line = lines_[static_cast<size_t>(index)];
  line.hash = hash;
  line.next = buckets_[bucket];
  buckets_[bucket] = index;
  ++used_;
}

int32_t TStringList::Probe(std::string_view name, uint32_t hash) const {
  if (buckets_.size() == 0) return -1;
  // The text is read only for a line whose name has the same hash.
  for (int32_t i = buckets_[BucketOf(hash)]; i >= 0; i = lines_[static_cast<size_t>(i)].next) {
    const Line& line = lines_[static_cast<size_t>(i)];
    if (line.hash == hash && SameText(NameOf(line), name, codePage_)) return i;
  }
  return -1;
}

void TStringList::SplitBucket() {
  buckets_.push_back(-1);  // may throw: nothing has changed then
  const size_t low = split_;
  const size_t high = low + (size_t{1} << level_);
  int32_t rest = buckets_[low];
  buckets_[low] = -1;
  while (rest >= 0) {
    Line& line = lines_[static_cast<size_t>(rest)];
    const int32_t next = line.next;
    const size_t to = (line.hash >> level_) & 1 ? high : low;
    line.next = buckets_[to];
    buckets_[to] = rest;
    rest = next;
  }
  if (++split_ == size_t{1} << level_) {
    ++level_;
    split_ = 0;
  }
}

void TStringList::RebuildIndex() {
  buckets_.clear();
  level_ = kFirstLevel;
  split_ = 0;
  used_ = 0;
  for (size_t i = 0; i < (size_t{1} << kFirstLevel); ++i) buckets_.push_back(-1);
  // Hashes are taken again, as a line rewritten by Put may have a new name.
  for (int32_t i = 0; i < Count(); ++i) IndexIfFirstOfName(i);
}

void TStringList::EnableNameIndex() {
  if (indexed_) return;
  RebuildIndex();
  indexed_ = true;
}

int32_t TStringList::FindOrAdd(std::string_view name, std::string_view value) {
  if (!indexed_ || name.find('=') != std::string_view::npos) {
    const int32_t found = IndexOfName(name);
    if (found < 0) AppendIndexed(name, "=", value);
    return found;
  }
  const uint32_t hash = Hash32(name, codePage_);
  const int32_t found = Probe(name, hash);
  if (found >= 0) return found;
  const int32_t index = Append(name, "=", value);
  try {
    IndexLine(index, hash);
  } catch (...) {
    lines_.pop_back();
    throw;
  }
  return -1;
}

std::string_view TStringList::Names(int32_t index) const {
  return NameOf(At(index));
}

std::string_view TStringList::ValueFromIndex(int32_t index) const {
  const std::string_view text = TextOf(At(index));
  const int32_t eq = EqOf(text);
  return eq < 0 ? std::string_view() : text.substr(static_cast<size_t>(eq) + 1);
}

int32_t TStringList::IndexOfName(std::string_view name) const {
  if (indexed_) return Probe(name, Hash32(name, codePage_));
  for (int32_t i = 0; i < Count(); ++i) {
    const std::string_view text = TextOf(lines_[static_cast<size_t>(i)]);
    if (EqOf(text) >= 0 && SameText(NameOf(lines_[static_cast<size_t>(i)]), name, codePage_))
      return i;
  }
  return -1;
}

int32_t TStringList::IndexOf(std::string_view text) const {
  for (int32_t i = 0; i < Count(); ++i)
    if (SameText(TextOf(lines_[static_cast<size_t>(i)]), text, codePage_)) return i;
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
  const Text old = TextAt(line.ref);
  const int32_t eq = EqOf({old.at, old.length});
  char* const header = RoomAt(line.ref);
  uint32_t room = header ? ReadU32(header) : old.length;
  if (eq >= 0 && static_cast<size_t>(eq) == name.size() && header &&
      !Overlaps(suffix, old.at, room)) {
    const size_t total = size_t{old.length} + suffix.size();
    // The text stored last in the shared blocks can widen into the free room
    // after it, as long as it stays a shared-block line.
    const bool last = header == HeaderAt(line.ref) + 1 &&
                      (line.ref >> kOffsetBits) == shared_.size() - 1 &&
                      (line.ref & kOffsetMask) + 1 + kRoomHeader + room == freeAt_;
    if (total > room && last && total - room <= room_ && total < kOwnBlockAt) {
      const auto extra = static_cast<uint32_t>(total - room);
      freeAt_ += extra;
      room_ -= extra;
      room = static_cast<uint32_t>(total);
      WriteU32(header, room);
    }
    if (total <= room) {
      // The suffix lies outside the line; the name, if it lies inside, is
      // moved as a whole before anything else is written.
      if (!name.empty()) std::memmove(old.at, name.data(), name.size());
      if (!suffix.empty()) std::memcpy(old.at + old.length, suffix.data(), suffix.size());
      WriteU32(header + sizeof(uint32_t), total);
      return;
    }
  }
  const std::string_view text(old.at, old.length);
  const std::string_view value =
      eq < 0 ? std::string_view() : text.substr(static_cast<size_t>(eq) + 1);
  Store(line, name, "=", value, suffix);
}

}  // namespace kvp
