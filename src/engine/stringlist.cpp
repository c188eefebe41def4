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

void TStringList::IndexLine(int32_t index) {
  const std::string& line = lines_[static_cast<size_t>(index)];
  if (line.find('=') == std::string::npos) return;  // a line without "=" has no name
  firstByName_.emplace(MatchKey(NameOf(line)), index);
}

void TStringList::EnableNameIndex() {
  if (indexed_) return;
  indexed_ = true;
  firstByName_.clear();
  for (int32_t i = 0; i < Count(); ++i) IndexLine(i);
}

std::string_view TStringList::Names(int32_t index) const { return NameOf(Strings(index)); }

std::string_view TStringList::ValueFromIndex(int32_t index) const {
  std::string_view line = Strings(index);
  const size_t eq = line.find('=');
  return eq == std::string_view::npos ? std::string_view() : line.substr(eq + 1);
}

int32_t TStringList::IndexOfName(std::string_view name) const {
  if (indexed_) {
    auto it = firstByName_.find(MatchKey(name));
    if (it == firstByName_.end()) return -1;
    if (SameText(Names(it->second), name)) return it->second;
    // The key and the comparison disagree: fall back to the plain scan.
  }
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

void TStringList::Put(int32_t index, std::string line) {
  lines_.at(static_cast<size_t>(index)) = std::move(line);
}

}  // namespace kvp
