#include "options.h"

#include <cstdint>

namespace kvhost {

const char kUsage[] =
    "usage: kvhost inspect BODYFILE [--chunk N] [--disconnect-at K] [--registered]\n"
    "                      [--call MEMBER [ARG...]]... [--put MEMBER VALUE]...\n"
    "                      [--save DIR]... [--mode N] [--codepage N]\n"
    "       kvhost register\n"
    "       kvhost unregister\n"
    "       kvhost run PAGE [--body FILE] [--header NAME:VALUE]... [--query QS] [--method M]\n"
    "                       [--root DIR] [--include]\n"
    "       kvhost serve [--root DIR] [--port N] [--bind ADDR] [--threads N]\n"
    "                    [--max-request-bytes N] [--head-timeout S] [--min-rate B]\n"
    "                    [--body-grace S] [--max-queue N] [--queue-timeout S]\n"
    "                    (kvhost serve --help tells more)\n";

namespace {

std::optional<LONG> Integer(std::wstring_view text) {
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == L'-';
  if (negative) i = 1;
  // At most ten digits: the range check below cannot overflow.
  if (i == text.size() || text.size() - i > 10) return std::nullopt;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < L'0' || text[i] > L'9') return std::nullopt;
    value = value * 10 + (text[i] - L'0');
  }
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<LONG>(value);
}

bool IsOption(std::wstring_view text) {
  return text.starts_with(L"--");
}

}  // namespace

CallArg ParseCallArg(std::wstring_view text) {
  CallArg arg;
  if (const std::optional<LONG> n = Integer(text)) {
    arg.isNumber = true;
    arg.number = *n;
  } else {
    arg.text = text;
  }
  return arg;
}

std::optional<Options> ParseArguments(std::span<const std::wstring> args) {
  Options options;
  if (args.size() == 1 && args[0] == L"register") {
    options.command = Command::Register;
    return options;
  }
  if (args.size() == 1 && args[0] == L"unregister") {
    options.command = Command::Unregister;
    return options;
  }
  if (args.size() < 2 || args[0] != L"inspect") return std::nullopt;
  options.bodyFile = args[1];

  bool saves = false;
  for (size_t i = 2; i < args.size(); ++i) {
    const std::wstring& flag = args[i];
    const bool hasValue = i + 1 < args.size();
    if (flag == L"--chunk" || flag == L"--disconnect-at") {
      const std::optional<LONG> n = hasValue ? Integer(args[++i]) : std::nullopt;
      if (!n || *n < 1) return std::nullopt;
      if (flag == L"--chunk")
        options.chunk = *n;
      else
        options.disconnectAt = static_cast<int>(*n);
    } else if (flag == L"--registered") {
      options.registered = true;
    } else if (flag == L"--call") {
      if (!hasValue || args[i + 1].empty() || IsOption(args[i + 1])) return std::nullopt;
      Action call;
      call.member = args[++i];
      while (i + 1 < args.size() && !IsOption(args[i + 1]))
        call.args.push_back(ParseCallArg(args[++i]));
      options.actions.push_back(std::move(call));
    } else if (flag == L"--put") {
      // The value is taken as it stands, whatever it looks like.
      if (i + 2 >= args.size() || args[i + 1].empty() || IsOption(args[i + 1])) return std::nullopt;
      Action put;
      put.type = Action::Type::Put;
      put.member = args[++i];
      put.args.push_back(ParseCallArg(args[++i]));
      options.actions.push_back(std::move(put));
    } else if (flag == L"--save") {
      if (!hasValue || args[i + 1].empty()) return std::nullopt;
      Action save;
      save.type = Action::Type::Save;
      save.dir = args[++i];
      options.actions.push_back(std::move(save));
      saves = true;
    } else if (flag == L"--codepage") {
      const std::optional<LONG> n = hasValue ? Integer(args[++i]) : std::nullopt;
      if (!n || options.codePage) return std::nullopt;
      options.codePage = *n;
    } else if (flag == L"--mode") {
      const std::optional<LONG> n = hasValue ? Integer(args[++i]) : std::nullopt;
      if (!n || options.mode) return std::nullopt;
      options.mode = *n;
    } else {
      return std::nullopt;
    }
  }
  // A mode without anything to save is a mistake on the command line.
  if (options.mode && !saves) return std::nullopt;
  return options;
}

}  // namespace kvhost
