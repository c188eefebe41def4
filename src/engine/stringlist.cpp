#include "stringlist.h"

#include "collation.h"

namespace kvp {

std::string_view TStringList::NameOf(std::string_view line) {
  const size_t eq = line.find('=');
  return eq == std::string_view::npos ? std::string_view() : line.substr(0, eq);
}

int32_t TStringList::Add(std::string line) {
  lines_.push_back(std::move(line));
  const int32_t index = Count() - 1;
  if (indexed_) IndexLine(index);
  return index;
}

namespace {
uint32_t Hash32(std::string_view name) {
  const uint64_t h = MatchHash(name);
  return static_cast<uint32_t>(h ^ (h >> 32));
}
}  // namespace

void TStringList::IndexLine(int32_t index) {
  const std::string& line = lines_[static_cast<size_t>(index)];
  if (line.find('=') == std::string::npos) return;  // a line without "=" has no name
  IndexLine(index, Hash32(NameOf(line)));
}

void TStringList::IndexLine(int32_t index, uint32_t hash) {
  if ((used_ + 1) * 2 > slots_.size()) GrowIndex();
  const std::string_view name = Names(index);
  const size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.line < 0) {
      slot = {hash, index};
      ++used_;
      return;
    }
    // Only the first line of a name is indexed.
    if (slot.hash == hash && SameText(Names(slot.line), name)) return;
  }
}

int32_t TStringList::Probe(std::string_view name, uint32_t hash) const {
  if (slots_.empty()) return -1;
  const size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask; slots_[i].line >= 0; i = (i + 1) & mask)
    if (slots_[i].hash == hash && SameText(Names(slots_[i].line), name)) return slots_[i].line;
  return -1;
}

int32_t TStringList::FindOrAdd(std::string_view name, std::string_view value) {
  std::string line;
  line.reserve(name.size() + 1 + value.size());
  line.append(name).append(1, '=').append(value);
  if (!indexed_ || name.find('=') != std::string_view::npos) {
    const int32_t found = IndexOfName(name);
    if (found < 0) Add(std::move(line));
    return found;
  }
  const uint32_t hash = Hash32(name);
  const int32_t found = Probe(name, hash);
  if (found >= 0) return found;
  lines_.push_back(std::move(line));
  IndexLine(Count() - 1, hash);
  return -1;
}

void TStringList::GrowIndex() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
  const size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.line < 0) continue;
    size_t i = s.hash & mask;
    while (slots_[i].line >= 0) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

void TStringList::EnableNameIndex() {
  if (indexed_) return;
  indexed_ = true;
  slots_.clear();
  used_ = 0;
  for (int32_t i = 0; i < Count(); ++i) IndexLine(i);
}

std::string_view TStringList::Names(int32_t index) const {
  return NameOf(Strings(index));
}

std::string_view TStringList::ValueFromIndex(int32_t index) const {
  std::string_view line = Strings(index);
  const size_t eq = line.find('=');
  return eq == std::string_view::npos ? std::string_view() : line.substr(eq + 1);
}

int32_t TStringList::IndexOfName(std::string_view name) const {
  if (indexed_) return Probe(name, Hash32(name));
  for (int32_t i = 0; i < Count(); ++i) {
    const std::string& line = lines_[static_cast<size_t>(i)];
    if (line.find('=') != std::string::npos && SameText(NameOf(line), name)) return i;
  }
  return -1;
}

int32_t TStringList::IndexOf(std::string_view line) const {
  for (int32_t i = 0; i < Count(); ++i)
    if (SameText(lines_[static_cast<size_t>(i)], line)) return i;
  return -1;
}

std::string TStringList::Values(std::string_view name) const {
  const int32_t i = IndexOfName(name);
  return i < 0 ? std::string() : std::string(ValueFromIndex(i));
}

void TStringList::SetValue(std::string_view name, std::string_view value) {
  std::string line;
  line.reserve(name.size() + 1 + value.size());
  line.append(name).append(1, '=').append(value);
  const int32_t i = IndexOfName(name);
  if (i < 0)
    Add(std::move(line));
  else
    lines_[static_cast<size_t>(i)] = std::move(line);
}

void TStringList::ExtendValue(int32_t index, std::string_view name, std::string_view suffix) {
  std::string& line = lines_.at(static_cast<size_t>(index));
  const size_t eq = line.find('=');
  if (eq == name.size()) {
    line.replace(0, eq, name);
  } else {
    std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    line.assign(name).append(1, '=').append(value);
  }
  line.append(suffix);
}

void TStringList::Put(int32_t index, std::string line) {
  lines_.at(static_cast<size_t>(index)) = std::move(line);
}

}  // namespace kvp
