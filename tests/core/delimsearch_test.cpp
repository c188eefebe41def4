// FindDelimiter against a naive scan, on random and on hostile inputs.
#include "engine/delimsearch.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

int64_t Naive(const std::string& data, int64_t from, int64_t end, const std::string& pat) {
  const auto len = static_cast<int64_t>(pat.size());
  if (len < 2 || from < 0) return -1;
  for (int64_t s = from; s + len <= end; ++s)
    if (data.compare(static_cast<size_t>(s), static_cast<size_t>(len), pat) == 0) return s;
  return -1;
}

int64_t Find(const std::string& data, int64_t from, int64_t end, const std::string& pat) {
  return kvp::FindDelimiter(reinterpret_cast<const uint8_t*>(data.data()), from, end, pat);
}

int64_t Find(const std::string& data, const std::string& pat) {
  return Find(data, 0, static_cast<int64_t>(data.size()), pat);
}

TEST(FindDelimiter, Bounds) {
  const std::string data = "xx--abyy--ab";
  EXPECT_EQ(Find(data, "--ab"), 2);
  EXPECT_EQ(Find(data, 2, 12, "--ab"), 2);
  EXPECT_EQ(Find(data, 3, 12, "--ab"), 8);
  EXPECT_EQ(Find(data, 3, 11, "--ab"), -1) << "a match must lie wholly before end";
  EXPECT_EQ(Find(data, 0, 5, "--ab"), -1);
  EXPECT_EQ(Find(data, 0, 6, "--ab"), 2);
  EXPECT_EQ(Find(data, 9, 4, "--ab"), -1);
  EXPECT_EQ(Find(data, -1, 12, "--ab"), -1);
  EXPECT_EQ(Find(data, "ab"), 4);
  EXPECT_EQ(Find(data, "a"), -1) << "one byte never matches";
  EXPECT_EQ(Find(data, ""), -1);
  EXPECT_EQ(Find(data, "--ac"), -1) << "the last byte is compared";
  EXPECT_EQ(Find(data, "x--ab"), 1);
  EXPECT_EQ(Find(data, data), 0);
  EXPECT_EQ(Find(data, data + "z"), -1);
}

TEST(FindDelimiter, SelfOverlappingPatterns) {
  EXPECT_EQ(Find("aaab", "aab"), 1);
  EXPECT_EQ(Find("aaaaaaab", "aab"), 5);
  EXPECT_EQ(Find("aaabaaaa", "aaaa"), 4);
  EXPECT_EQ(Find("abababac", "ababac"), 2);
  EXPECT_EQ(Find("-----7d-----7d1", "-----7d1"), 7);
  EXPECT_EQ(Find("------7d1", "-----7d1"), 1);
}

TEST(FindDelimiter, RandomInputsAgreeWithNaiveScan) {
  std::mt19937 rng(7);
  auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  const std::string alphabets[] = {"ab", "abc", "-\r\n7d1", "a"};
  for (int i = 0; i < 200000; ++i) {
    const std::string& alpha = alphabets[below(4)];
    std::string pat, data;
    const size_t plen = below(7);
    for (size_t k = 0; k < plen; ++k) pat += alpha[below(alpha.size())];
    const size_t dlen = below(40);
    while (data.size() < dlen) {
      if (below(4) == 0 && !pat.empty())
        data += pat.substr(0, below(pat.size()) + 1);  // near misses and overlaps
      else
        data += alpha[below(alpha.size())];
    }
    const auto size = static_cast<int64_t>(data.size());
    const auto from = static_cast<int64_t>(below(data.size() + 2));
    const auto end = static_cast<int64_t>(below(data.size() + 1));
    ASSERT_EQ(Find(data, from, end, pat), Naive(data, from, end, pat))
        << "data '" << data << "' pattern '" << pat << "' from " << from << " end " << end;
    ASSERT_EQ(Find(data, 0, size, pat), Naive(data, 0, size, pat));
  }
}

// Inputs on which the skip search verifies at nearly every step, long enough
// that the linear scan has to take over.
TEST(FindDelimiter, HostileInputsAgreeWithNaiveScan) {
  const std::string d = "-----------------------------7d1";
  const std::string nearMiss = d.substr(0, d.size() - 1);
  struct Case {
    std::string data, pat;
  };
  std::vector<Case> cases = {
      {std::string(200000, 'a') + "b" + std::string(31, 'a'), "b" + std::string(31, 'a')},
      {std::string(200000, 'a'), "b" + std::string(31, 'a')},
      {std::string(100000, 'a') + "baa", "baa"},
      {std::string(100000, 'a'), std::string(64, 'a')},
      {std::string(100000, 'a'), std::string(64, 'a') + "b"},
  };
  std::string flood, crlf, alternating;
  for (int i = 0; i < 20000; ++i) flood += nearMiss + (i % 3 ? "\r\n" : "");
  for (int i = 0; i < 100000; ++i) crlf += "\r\n";
  for (int i = 0; i < 50000; ++i) alternating += "ab";
  cases.push_back({flood, d});
  cases.push_back({flood + d, d});
  cases.push_back({crlf + d + "\r\n", d});
  cases.push_back({crlf, "\r\n\r\n\r\n\r\nx"});
  cases.push_back({alternating + "c", "ababababababababababababababc"});
  cases.push_back({alternating, "ababababababababababababababc"});
  // Long partial matches that fail late: only a restart at the longest border
  // finds the match that overlaps them.
  const std::string late = std::string(20, 'a') + "b" + std::string(10, 'a');
  for (size_t run : {100000, 100001, 100007, 100013})
    cases.push_back({std::string(run, 'a') + late + "aa", late});
  std::string periodic;
  for (int i = 0; i < 30000; ++i) periodic += "aab";
  for (const char* tail : {"aaab", "aaaab", "baaab", "abaaab"})
    cases.push_back({periodic + tail, "aabaabaabaaab"});
  for (const Case& c : cases) {
    const auto size = static_cast<int64_t>(c.data.size());
    EXPECT_EQ(Find(c.data, c.pat), Naive(c.data, 0, size, c.pat)) << c.pat;
    // Starting late and stopping early, so that matches near the edges count.
    EXPECT_EQ(Find(c.data, 5000, size - 1, c.pat), Naive(c.data, 5000, size - 1, c.pat)) << c.pat;
  }
}

}  // namespace
