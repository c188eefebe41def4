// A small writer of indented JSON text. Strings go in as UTF-8 and come out
// escaped: quotes, backslashes and control characters; everything else as is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvhost {

// The JSON string literal for UTF-8 text, quotes included.
std::string JsonQuote(std::string_view utf8);

class JsonWriter {
 public:
  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }

  // Names the next value of the enclosing object.
  void Key(std::string_view utf8);
  void String(std::string_view utf8);
  void Number(int64_t value);
  void Bool(bool value);
  void Null();

  const std::string& Text() const noexcept { return text_; }

 private:
  struct Level {
    bool empty = true;
  };
  void Open(char bracket);
  void Close(char bracket);
  // Separator and indentation before a value (not after a key).
  void BeforeValue();
  void NewLine();

  std::string text_;
  std::vector<Level> levels_;
  bool afterKey_ = false;
};

}  // namespace kvhost
