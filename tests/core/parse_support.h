// Shared by the parser suites: building bodies, running ParseBody with a
// scripted connection probe, and reading the outcome in the reference model's
// terms.
#pragma once

#include <climits>
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

inline Parsed RunParser(std::string_view body, int connected = INT_MAX) {
  Parsed p;
  p.state = std::make_unique<kvp::TUploadState>();
  p.state->InitState();
  p.state->FBody->Write(body.data(), static_cast<int64_t>(body.size()));
  p.state->FBody->SetPosition(0);
  ScriptedProbe probe(connected);
  p.state->ParseBody(*p.state->FBody, probe);
  p.probeCalls = probe.Calls();
  return p;
}

inline std::string Bytes(const kvp::TMemoryStream& s) {
  return std::string(reinterpret_cast<const char*>(s.Memory()), static_cast<size_t>(s.Size()));
}

// The parser's outcome as the reference model states it.
inline kvref::Result Outcome(const Parsed& p) {
  const kvp::TUploadState& s = *p.state;
  kvref::Result r;
  r.status = s.FStatus;
  r.probeCalls = p.probeCalls;
  for (size_t i = 0; i < s.FFiles.size(); ++i) {
    kvp::TFileText f = s.FileText(i);
    const std::span<const uint8_t> data = s.FileBytes(i);
    r.files.push_back({f.LocalName, f.FileName, f.Extension, f.ContentType, f.NameOnly,
                       std::string(reinterpret_cast<const char*>(data.data()), data.size())});
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
