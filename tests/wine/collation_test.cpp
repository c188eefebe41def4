// Name comparisons that depend on the Windows collation: the folding of
// repeated form fields, and the hash key that the string list indexes names
// by, which must agree with the comparison itself.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/collation.h"
#include "engine/stringlist.h"
#include "engine/uploadstate.h"
#include "testsupport.h"

namespace {

struct Connected final : kvp::IClientProbe {
  bool IsClientConnected() override { return true; }
};

std::vector<std::string> ParsedVars(const std::string& body) {
  kvp::TUploadState state;
  state.InitState();
  state.FBody->Write(body.data(), static_cast<int64_t>(body.size()));
  Connected probe;
  state.ParseBody(*state.FBody, probe);
  return kvtest::VarLines(state);
}

std::string Hex(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    char buf[8];
    if (c >= 0x21 && c < 0x7F && c != '"' && c != '\\')
      out += static_cast<char>(c);
    else {
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return out + "\"";
}

TEST(Collation, FieldsThatDifferInCaseFoldIntoOneLine) {
  const std::string body = kvtest::Multipart().Field("c", "1").Field("C", "2").Body();
  EXPECT_EQ(ParsedVars(body), std::vector<std::string>{"C=1, 2"});
}

TEST(Collation, NonAsciiLettersFoldUnderTheLocale) {
  ASSERT_EQ(GetACP(), 1252u) << "the names below are Windows-1252 text";
  // E with acute accent, capital then small; then A with ring.
  const std::string body = kvtest::Multipart()
                               .Field("caf\xC9", "1")
                               .Field("\xC5ngstr\xF6m", "a")
                               .Field("caf\xE9", "2")
                               .Field("\xE5NGSTR\xD6M", "b")
                               .Body();
  EXPECT_EQ(ParsedVars(body), (std::vector<std::string>{"caf\xE9=1, 2", "\xE5NGSTR\xD6M=a, b"}));
}

TEST(Collation, DifferentLettersStayApart) {
  const std::string body =
      kvtest::Multipart().Field("e", "1").Field("\xE9", "2").Field("ee", "3").Body();
  EXPECT_EQ(ParsedVars(body), (std::vector<std::string>{"e=1", "\xE9=2", "ee=3"}));
}

// Short strings over control characters, blanks, letters of both cases and
// the upper half of the code page; half the pairs are case variants of each
// other, so that both answers of the comparison come up often.
TEST(Collation, MatchKeyAgreesWithSameText) {
  std::mt19937 random(20240601);
  std::vector<unsigned char> alphabet;
  for (int c = 0x00; c <= 0x20; ++c) alphabet.push_back(static_cast<unsigned char>(c));
  for (const char* s = "aAbBeEzZ09-_.'"; *s; ++s)
    alphabet.push_back(static_cast<unsigned char>(*s));
  for (int c = 0x80; c <= 0xFF; ++c) alphabet.push_back(static_cast<unsigned char>(c));
  auto pick = [&] { return static_cast<char>(alphabet[random() % alphabet.size()]); };
  auto make = [&] {
    std::string s(random() % 5, '\0');
    for (char& c : s) c = pick();
    return s;
  };
  auto variant = [&](std::string s) {
    for (char& c : s) {
      switch (random() % 4) {
        case 0:
          CharUpperBuffA(&c, 1);
          break;
        case 1:
          CharLowerBuffA(&c, 1);
          break;
        case 2:
          if (random() % 4 == 0) c = pick();
          break;
        default:
          break;
      }
    }
    return s;
  };

  const int kPairs = 5000;
  int equal = 0;
  std::vector<std::string> disagreements;
  std::vector<std::string> indexMisses;
  for (int i = 0; i < kPairs; ++i) {
    const std::string a = make();
    const std::string b = (i % 2 == 0) ? variant(a) : make();
    const bool same = kvp::SameText(a, b);
    const bool sameKey = kvp::MatchKey(a) == kvp::MatchKey(b);
    equal += same;
    if (same != sameKey)
      disagreements.push_back(Hex(a) + " vs " + Hex(b) + ": SameText " +
                              (same ? "equal" : "differ") + ", MatchKey " +
                              (sameKey ? "equal" : "differ"));
    // What the disagreement costs: the list's name index must find what the
    // comparison matches.
    kvp::TStringList list;
    list.Add(a + "=1");
    list.EnableNameIndex();
    const int32_t found = list.IndexOfName(b);
    if (found != (same ? 0 : -1))
      indexMisses.push_back(Hex(a) + "=1, looking up " + Hex(b) + ": index " +
                            std::to_string(found));
  }
  EXPECT_GT(equal, kPairs / 10) << "too few matching pairs to say anything";
  std::string report;
  for (size_t i = 0; i < disagreements.size() && i < 40; ++i) report += "\n  " + disagreements[i];
  EXPECT_TRUE(disagreements.empty())
      << disagreements.size() << " of " << kPairs << " pairs disagree:" << report;
  report.clear();
  for (size_t i = 0; i < indexMisses.size() && i < 40; ++i) report += "\n  " + indexMisses[i];
  EXPECT_TRUE(indexMisses.empty()) << indexMisses.size() << " lookups went wrong:" << report;
}

// The same agreement for names read in a code page set by the page (UTF-8
// and 1251): short names over letters of several scripts, controls, blanks and
// signs, half of the pairs case variants; and the list of that code page
// finds by its index what the comparison matches.
TEST(Collation, CodePageKeysAgreeWithTheirComparison) {
  std::mt19937 random(20260701);
  std::vector<wchar_t> alphabet;
  for (const wchar_t* w =
           L"aAzZ09 -.\t\x01\u00e9\u00c9\u00df\u0160\u0161\u041a\u043a\u040a"
           L"\u045a\u0456\u0406\u0432\u0433\u03a3\u03c3\u03c2\u00ad\u200b\ufffd";
       *w; ++w)
    alphabet.push_back(*w);
  alphabet.push_back(L'\0');
  auto make = [&] {
    std::wstring s(random() % 5, L'\0');
    for (wchar_t& c : s) c = alphabet[random() % alphabet.size()];
    return s;
  };
  auto variant = [&](std::wstring s) {
    for (wchar_t& c : s) {
      if (random() % 2)
        CharUpperBuffW(&c, 1);
      else
        CharLowerBuffW(&c, 1);
      if (random() % 8 == 0) c = alphabet[random() % alphabet.size()];
    }
    return s;
  };
  auto encode = [](const std::wstring& w, UINT codePage) {
    if (w.empty()) return std::string();
    const int n = WideCharToMultiByte(codePage, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(codePage, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
  };
  for (const UINT codePage : {65001u, 1251u}) {
    SCOPED_TRACE(codePage);
    int equal = 0;
    std::vector<std::string> wrong;
    for (int i = 0; i < 4000; ++i) {
      const std::wstring wa = make();
      const std::string a = encode(wa, codePage);
      const std::string b = encode(i % 2 == 0 ? variant(wa) : make(), codePage);
      const bool same = kvp::SameText(a, b, codePage);
      equal += same;
      kvp::TStringList list(codePage);
      list.Add(a + "=1");
      list.EnableNameIndex();
      if (same != (kvp::MatchKey(a, codePage) == kvp::MatchKey(b, codePage)) ||
          list.IndexOfName(b) != (same ? 0 : -1))
        wrong.push_back(Hex(a) + " vs " + Hex(b) + (same ? ": equal" : ": differ"));
    }
    EXPECT_GT(equal, 400) << "too few matching pairs to say anything";
    std::string report;
    for (size_t i = 0; i < wrong.size() && i < 40; ++i) report += "\n  " + wrong[i];
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " pairs went wrong:" << report;
  }
}

// Every pair of texts of at most one byte, the empty text included.
TEST(Collation, MatchKeyAgreesWithSameTextOnEveryByte) {
  std::vector<std::string> texts{std::string()};
  for (int c = 0; c < 256; ++c) texts.emplace_back(1, static_cast<char>(c));
  std::vector<std::string> keys;
  for (const std::string& t : texts) keys.push_back(kvp::MatchKey(t));
  std::vector<std::string> disagreements;
  for (size_t i = 0; i < texts.size(); ++i)
    for (size_t j = i + 1; j < texts.size(); ++j)
      if (kvp::SameText(texts[i], texts[j]) != (keys[i] == keys[j]))
        disagreements.push_back(Hex(texts[i]) + " vs " + Hex(texts[j]) + ": SameText " +
                                (kvp::SameText(texts[i], texts[j]) ? "equal" : "differ"));
  std::string report;
  for (const std::string& d : disagreements) report += "\n  " + d;
  EXPECT_TRUE(disagreements.empty()) << disagreements.size() << " pairs disagree:" << report;
}

TEST(Collation, EmptyNameMatchesOnlyTheEmptyName) {
  EXPECT_TRUE(kvp::SameText("", ""));
  EXPECT_EQ(kvp::MatchKey(""), kvp::MatchKey(""));
  EXPECT_FALSE(kvp::SameText("", "a"));
  EXPECT_NE(kvp::MatchKey(""), kvp::MatchKey("a"));
}

}  // namespace
