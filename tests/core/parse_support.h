// Shared by the parser suites: building bodies, running ParseBody with a
// scripted connection probe, and reading the outcome in the reference model's
// terms.
#pragma once

#include <climits>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "engine/uploadstate.h"
#include "reference_parser.h"

namespace kvref {

// Readable failure messages: control bytes escaped, long texts cut.
inline std::string Escaped(std::string_view s) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < s.size() && i < 200; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c < 0x20 || c >= 0x7f)
      out += std::string("\\x") + hex[c >> 4] + hex[c & 15];
    else
      out += static_cast<char>(c);
  }
  if (s.size() > 200) out += "...(" + std::to_string(s.size()) + " bytes)";
  return out;
}

inline void PrintTo(const Result& r, std::ostream* os) {
  *os << "{status " << r.status << ", probe " << r.probeCalls << ", files [";
  for (const File& f : r.files)
    *os << " {" << Escaped(f.localName) << " | " << Escaped(f.fileName) << " | "
        << Escaped(f.extension) << " | " << Escaped(f.nameOnly) << " | " << Escaped(f.contentType)
        << " | " << Escaped(f.data) << "}";
  *os << " ], tags [";
  for (const std::string& t : r.tagNames) *os << " " << Escaped(t);
  *os << " ], vars [";
  for (const std::string& v : r.vars) *os << " " << Escaped(v);
  *os << " ]}";
}

}  // namespace kvref

namespace kvtest {

// Answers "connected" for the first `connected` calls, then "gone".
class ScriptedProbe final : public kvp::IClientProbe {
 public:
  explicit ScriptedProbe(int connected = INT_MAX) : connected_(connected) {}
  bool IsClientConnected() override { return calls_++ < connected_; }
  int Calls() const { return calls_; }

 private:
  int connected_;
  int calls_ = 0;
};

struct Parsed {
  std::unique_ptr<kvp::TUploadState> state;
  int probeCalls = 0;
};

// How the suites hand bodies to the parser: in memory, as small bodies
// come, unless KV_SPOOL_THRESHOLD=0 asks for every body to be spooled to a
// file first, as large ones are; KV_BODY_WINDOW=N then reads it through a
// window of N bytes.
struct BodyRoute {
  bool spool = false;
  int64_t window = kvp::kBodyWindow;
};

inline const BodyRoute& Route() {
  static const BodyRoute route = [] {
    BodyRoute r;
    const char* threshold = std::getenv("KV_SPOOL_THRESHOLD");
    r.spool = threshold && std::string_view(threshold) == "0";
    if (const char* window = std::getenv("KV_BODY_WINDOW")) r.window = std::atoll(window);
    return r;
  }();
  return route;
}

// Hands body to state the way Route() says and parses it.
inline void ParseRouted(kvp::TUploadState& state, std::string_view body, kvp::IClientProbe& probe) {
  const auto size = static_cast<int64_t>(body.size());
  if (Route().spool) {
    state.FSpool = std::make_unique<kvp::TSpoolFile>(std::wstring(), size);
    state.FSpool->Append(body.data(), size);
    state.FSpool->Flush();  // read from disk, as the intake leaves it
  } else {
    state.FBody->Write(body.data(), size);
    state.FBody->SetPosition(0);
  }
  state.ParseBody(state.RequestBody(), probe, Route().window);
}

inline Parsed RunParser(std::string_view body, int connected = INT_MAX) {
  Parsed p;
  p.state = std::make_unique<kvp::TUploadState>();
  p.state->InitState();
  ScriptedProbe probe(connected);
  ParseRouted(*p.state, body, probe);
  p.probeCalls = probe.Calls();
  return p;
}

inline std::string Bytes(const kvp::TMemoryStream& s) {
  return std::string(reinterpret_cast<const char*>(s.Memory()), static_cast<size_t>(s.Size()));
}

// The bytes of file item i.
inline std::string ItemBytes(const kvp::TUploadState& s, size_t i) {
  std::string out(s.FFiles[i].DataSize, '\0');
  s.ReadFileBytes(i, 0, out.data(), static_cast<int64_t>(out.size()));
  return out;
}

// The parser's outcome as the reference model states it.
inline kvref::Result Outcome(const Parsed& p) {
  const kvp::TUploadState& s = *p.state;
  kvref::Result r;
  r.status = s.FStatus;
  r.probeCalls = p.probeCalls;
  for (size_t i = 0; i < s.FFiles.size(); ++i) {
    kvp::TFileText f = s.FileText(i);
    r.files.push_back(
        {f.LocalName, f.FileName, f.Extension, f.ContentType, f.NameOnly, ItemBytes(s, i)});
    r.tagNames.push_back(std::move(f.TagName));
  }
  for (int32_t i = 0; i < s.FVars->Count(); ++i) r.vars.emplace_back(s.FVars->Strings(i));
  return r;
}

inline kvref::Result Outcome(std::string_view body, int connected = INT_MAX) {
  return Outcome(RunParser(body, connected));
}

// Builds well-formed bodies: the delimiter line, the parts separated by
// CR LF and the delimiter line, and the closing line.
class BodyBuilder {
 public:
  explicit BodyBuilder(std::string delimiter = "-----------------------------7d1")
      : delimiter_(std::move(delimiter)) {}

  BodyBuilder& Field(std::string_view name, std::string_view value) {
    return Raw(Disposition(name) + "\r\n\r\n" + std::string(value));
  }
  BodyBuilder& File(std::string_view name, std::string_view fileName, std::string_view type,
                    std::string_view content) {
    return Raw(Disposition(name) + "; filename=\"" + std::string(fileName) +
               "\"\r\nContent-Type: " + std::string(type) + "\r\n\r\n" + std::string(content));
  }
  // Everything after the part's delimiter line up to the CR LF before the next.
  BodyBuilder& Raw(std::string part) {
    parts_.push_back(std::move(part));
    return *this;
  }

  std::string Build(std::string_view tail = "--\r\n") const {
    std::string body = delimiter_ + "\r\n";
    for (size_t i = 0; i < parts_.size(); ++i) {
      body += parts_[i];
      body += "\r\n" + delimiter_ + (i + 1 < parts_.size() ? "\r\n" : "");
    }
    if (parts_.empty()) body.resize(delimiter_.size());
    return body + std::string(tail);
  }

  const std::string& Delimiter() const { return delimiter_; }

 private:
  static std::string Disposition(std::string_view name) {
    return "Content-Disposition: form-data; name=\"" + std::string(name) + "\"";
  }

  std::string delimiter_;
  std::vector<std::string> parts_;
};

}  // namespace kvtest
