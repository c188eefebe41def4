// The command line of kvhost.
#pragma once

#include <windows.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvhost {

extern const char kUsage[];

enum class Command { Inspect, Register, Unregister };

// An argument of --call or --put: a 32-bit integer when the text is one
// (an optional "-" and decimal digits), otherwise the text.
struct CallArg {
  bool isNumber = false;
  LONG number = 0;
  std::wstring text;
};
CallArg ParseCallArg(std::wstring_view text);

// What inspect does with the object after creating it, in command-line order.
struct Action {
  enum class Type { Call, Put, Save };
  Type type = Type::Call;
  std::wstring member;        // Call, Put
  std::vector<CallArg> args;  // Call: the arguments; Put: the one value
  std::wstring dir;           // Save: the folder as given
};

struct Options {
  Command command = Command::Inspect;
  std::wstring bodyFile;
  long chunk = 0;        // 0: BinaryRead not capped
  int disconnectAt = 0;  // 0: the client stays
  bool registered = false;
  std::optional<LONG> mode;      // OverwriteMode put before each save
  std::optional<LONG> codePage;  // CodePage put before the object is read
  std::vector<Action> actions;
};

// The arguments after the program's name; nothing on a usage error.
std::optional<Options> ParseArguments(std::span<const std::wstring> args);

}  // namespace kvhost
