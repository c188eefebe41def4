// TStringList: the name=value view, lookups ignoring case, rewriting in place,
// and the hash index agreeing with the plain scan.
#include "engine/collation.h"
#include "engine/keyedhash.h"
#include "engine/pagedarray.h"
#include "engine/stringlist.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

TEST(StringList, NameValueView) {
  kvp::TStringList l;
  EXPECT_EQ(l.Add("a=b=c"), 0);
  EXPECT_EQ(l.Add("plain"), 1);
  EXPECT_EQ(l.Add("=v"), 2);
  EXPECT_EQ(l.Add("k="), 3);
  EXPECT_EQ(l.Add("multi=line\r\none"), 4);

  EXPECT_EQ(l.Names(0), "a");
  EXPECT_EQ(l.ValueFromIndex(0), "b=c");
  EXPECT_EQ(l.Names(1), "");
  EXPECT_EQ(l.ValueFromIndex(1), "") << "a line without = has no value";
  EXPECT_EQ(l.Names(2), "");
  EXPECT_EQ(l.ValueFromIndex(2), "v");
  EXPECT_EQ(l.ValueFromIndex(3), "");
  EXPECT_EQ(l.Values("MULTI"), "line\r\none");
  EXPECT_THROW((void)l.Strings(5), std::out_of_range);
}

TEST(StringList, Lookups) {
  kvp::TStringList l;
  l.Add("plain");
  l.Add("Name=1");
  l.Add("name=2");
  l.Add("=empty");
  l.Add("a=b=c");

  EXPECT_EQ(l.IndexOfName("NAME"), 1) << "the first line with the name, ignoring case";
  EXPECT_EQ(l.IndexOfName("plain"), -1) << "a line without = has no name";
  EXPECT_EQ(l.IndexOfName(""), 3);
  EXPECT_EQ(l.IndexOfName("a"), 4);
  EXPECT_EQ(l.IndexOfName("a=b"), -1) << "names never hold =";
  EXPECT_EQ(l.IndexOfName("nam"), -1);
  EXPECT_EQ(l.Values("absent"), "");

  EXPECT_EQ(l.IndexOf("PLAIN"), 0);
  EXPECT_EQ(l.IndexOf("NAME=2"), 2);
  EXPECT_EQ(l.IndexOf("name"), -1);
}

TEST(StringList, SetValueRewritesInPlaceWithTheNewSpelling) {
  for (bool indexed : {false, true}) {
    kvp::TStringList l;
    if (indexed) l.EnableNameIndex();
    l.Add("first=1");
    l.Add("Title=Holiday");
    l.Add("title=shadowed");
    l.Add("last=9");

    l.SetValue("TITLE", "Sea");
    ASSERT_EQ(l.Count(), 4);
    EXPECT_EQ(l.Strings(1), "TITLE=Sea");
    EXPECT_EQ(l.Strings(2), "title=shadowed");
    EXPECT_EQ(l.IndexOfName("title"), 1);

    l.SetValue("new", "v");
    ASSERT_EQ(l.Count(), 5);
    EXPECT_EQ(l.Strings(4), "new=v");
    EXPECT_EQ(l.IndexOfName("NEW"), 4);

    l.SetValue("x=y", "z");  // no line can have this name: appended
    EXPECT_EQ(l.Count(), 6);
    EXPECT_EQ(l.IndexOfName("x"), 5);
  }
}

TEST(StringList, NameIndexAgreesWithScan) {
  std::mt19937 rng(3);
  auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  const char* names[] = {"a", "A", "b", "", "ab", "aB", "z\xe4", "Z\xe4", "c=d"};
  for (int round = 0; round < 200; ++round) {
    kvp::TStringList plain, early, late;
    early.EnableNameIndex();
    const size_t enableAt = below(40);
    for (size_t op = 0; op < 40; ++op) {
      if (op == enableAt) late.EnableNameIndex();
      const std::string name = names[below(9)];
      const std::string value = std::to_string(op);
      switch (below(4)) {
        case 0:  // a line without =
          for (kvp::TStringList* l : {&plain, &early, &late}) l->Add(name + value);
          break;
        case 1:
          for (kvp::TStringList* l : {&plain, &early, &late}) l->Add(name + "=" + value);
          break;
        case 2:
          for (kvp::TStringList* l : {&plain, &early, &late}) l->SetValue(name, value);
          break;
        default: {
          const int32_t i = plain.IndexOfName(name);
          if (i >= 0)
            for (kvp::TStringList* l : {&plain, &early, &late})
              l->Put(i, name + "=" + value + "," + std::string(l->ValueFromIndex(i)));
        }
      }
      for (const char* probe : names) {
        const int32_t want = plain.IndexOfName(probe);
        ASSERT_EQ(early.IndexOfName(probe), want) << probe;
        ASSERT_EQ(late.IndexOfName(probe), want) << probe;
      }
    }
    ASSERT_EQ(plain.Count(), early.Count());
    for (int32_t i = 0; i < plain.Count(); ++i) ASSERT_EQ(plain.Strings(i), early.Strings(i));
  }
}

// The lines share blocks; pieces handed back in may be views of the list's
// own text, and a line that grows must neither clobber its neighbours nor
// lose what it held.
TEST(StringList, LinesSharingBlocksKeepTheirTextThroughRewrites) {
  kvp::TStringList l;
  l.EnableNameIndex();
  std::vector<std::string> want;
  for (int i = 0; i < 3000; ++i) {
    want.push_back("n" + std::to_string(i) + "=" + std::string(static_cast<size_t>(i % 37), 'x'));
    l.Add(want.back());
  }
  // Folding into alternating lines: each grows while others are appended.
  for (int round = 0; round < 200; ++round) {
    for (int i : {5, 17, 2999}) {
      const std::string suffix = ", " + std::to_string(round);
      l.ExtendValue(i, "N" + std::to_string(i), suffix);
      want[static_cast<size_t>(i)] =
          "N" + std::to_string(i) + want[static_cast<size_t>(i)].substr(want[i].find('=')) + suffix;
    }
    want.push_back("t" + std::to_string(round) + "=v");
    l.Add(want.back());
  }
  // A value as long as many blocks.
  const std::string big(300000, 'b');
  l.ExtendValue(0, "n0", big);
  want[0] += big;
  ASSERT_EQ(l.Count(), static_cast<int32_t>(want.size()));
  for (int32_t i = 0; i < l.Count(); ++i)
    ASSERT_EQ(l.Strings(i), want[static_cast<size_t>(i)]) << i;
  EXPECT_EQ(l.IndexOfName("n2999"), 2999);
  EXPECT_EQ(l.IndexOfName("t199"), l.Count() - 1);

  // Views of the list's own text as arguments.
  const std::string_view own = l.Strings(17);
  l.ExtendValue(17, l.Names(17), own);
  want[17] += want[17];
  EXPECT_EQ(l.Strings(17), want[17]);
  l.ExtendValue(5, "n5", l.ValueFromIndex(5));  // spelling of another length
  want[5] = "n5" + want[5].substr(want[5].find('=')) + want[5].substr(want[5].find('=') + 1);
  EXPECT_EQ(l.Strings(5), want[5]);
  l.Put(6, l.Strings(7));
  EXPECT_EQ(l.Strings(6), want[7]);
  EXPECT_EQ(l.IndexOfName("n6"), -1) << "the index follows a line renamed by Put";
  EXPECT_EQ(l.IndexOfName("n7"), 6);
  l.SetValue("N8", l.Strings(9));
  EXPECT_EQ(l.Strings(8), "N8=" + want[9]);
  EXPECT_EQ(l.Strings(9), want[9]);
  l.Add(l.Strings(10));
  EXPECT_EQ(l.Strings(l.Count() - 1), want[10]);
}

// A list of one name folded 100,000 times grows its line in place or by
// doubling: the text stays exact.
TEST(StringList, LongFoldStaysExact) {
  kvp::TStringList l;
  l.EnableNameIndex();
  std::string want = "f=";
  ASSERT_EQ(l.FindOrAdd("f", ""), -1);
  for (int i = 0; i < 100000; ++i) {
    const std::string v = ", " + std::to_string(i);
    const int32_t at = l.FindOrAdd(i % 2 ? "F" : "f", v);
    ASSERT_EQ(at, 0);
    l.ExtendValue(at, i % 2 ? "F" : "f", v);
    want[0] = i % 2 ? 'F' : 'f';
    want += v;
  }
  EXPECT_EQ(l.Strings(0), want);
}

// Random rewrites against a plain vector of strings, the pieces often taken
// from the list itself.
TEST(StringList, RandomRewritesMatchAPlainModel) {
  std::mt19937 rng(11);
  auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  const char* names[] = {"a", "B", "b", "", "long name", "x=y"};
  for (int round = 0; round < 40; ++round) {
    kvp::TStringList l;
    if (round % 2) l.EnableNameIndex();
    std::vector<std::string> model;
    auto nameOf = [](const std::string& line) {
      const size_t eq = line.find('=');
      return eq == std::string::npos ? std::string() : line.substr(0, eq);
    };
    for (int op = 0; op < 400; ++op) {
      const std::string name = names[below(6)];
      std::string piece(below(3) == 0 ? below(40000) : below(30),
                        static_cast<char>('a' + below(26)));
      if (!model.empty() && below(3) == 0) {
        // A piece of the list's own text.
        const int32_t from = static_cast<int32_t>(below(model.size()));
        const std::string_view own = l.Strings(from);
        const size_t at = own.empty() ? 0 : below(own.size());
        piece = std::string(own.substr(at));
        switch (below(3)) {
          case 0:
            l.Add(own.substr(at));
            model.push_back(piece);
            continue;
          case 1: {
            const int32_t to = static_cast<int32_t>(below(model.size()));
            l.Put(to, own.substr(at));
            model[static_cast<size_t>(to)] = piece;
            continue;
          }
          default: {
            const int32_t to = static_cast<int32_t>(below(model.size()));
            const std::string lineName = nameOf(model[static_cast<size_t>(to)]);
            l.ExtendValue(to, lineName, own.substr(at));
            const std::string line = model[static_cast<size_t>(to)];
            model[static_cast<size_t>(to)] =
                lineName + "=" +
                (line.find('=') == std::string::npos ? std::string()
                                                     : line.substr(line.find('=') + 1)) +
                piece;
            continue;
          }
        }
      }
      switch (below(3)) {
        case 0:
          l.Add(name + "=" + piece);
          model.push_back(name + "=" + piece);
          break;
        case 1: {
          const int32_t at = l.FindOrAdd(name, piece);
          if (at < 0) model.push_back(name + "=" + piece);
          break;
        }
        default:
          if (!model.empty()) {
            const int32_t to = static_cast<int32_t>(below(model.size()));
            const std::string line = model[static_cast<size_t>(to)];
            const std::string lineName = nameOf(line);
            l.ExtendValue(to, lineName, piece);
            model[static_cast<size_t>(to)] =
                lineName + "=" +
                (line.find('=') == std::string::npos ? std::string()
                                                     : line.substr(line.find('=') + 1)) +
                piece;
          }
      }
    }
    ASSERT_EQ(l.Count(), static_cast<int32_t>(model.size()));
    for (int32_t i = 0; i < l.Count(); ++i)
      ASSERT_EQ(l.Strings(i), model[static_cast<size_t>(i)]) << i;
  }
}

// Lines beyond the first page of records, and a name index over them.
TEST(StringList, ManyLinesAcrossRecordPages) {
  kvp::TStringList l;
  l.EnableNameIndex();
  constexpr int kLines = 40000;  // two and a half pages of records
  for (int i = 0; i < kLines; ++i)
    ASSERT_EQ(l.FindOrAdd("k" + std::to_string(i), std::to_string(i * 7)), -1);
  ASSERT_EQ(l.Count(), kLines);
  for (int i : {0, 16383, 16384, 16385, 32767, 32768, kLines - 1}) {
    EXPECT_EQ(l.Strings(i), "k" + std::to_string(i) + "=" + std::to_string(i * 7)) << i;
    EXPECT_EQ(l.IndexOfName("K" + std::to_string(i)), i);
  }
  EXPECT_EQ(l.FindOrAdd("K20000", "again"), 20000);
  EXPECT_THROW((void)l.Strings(kLines), std::out_of_range);
}

// The index grows a bucket at a time; after well over a page of buckets every
// name must still lead to its own line, and only to it.
TEST(StringList, IndexFindsEveryNameAfterManySplits) {
  kvp::TStringList l;
  l.EnableNameIndex();
  constexpr int kNames = 150000;
  for (int i = 0; i < kNames; ++i) ASSERT_EQ(l.FindOrAdd("f" + std::to_string(i), "v"), -1);
  for (int i = 0; i < kNames; ++i) ASSERT_EQ(l.IndexOfName("F" + std::to_string(i)), i) << i;
  EXPECT_EQ(l.IndexOfName("f" + std::to_string(kNames)), -1);
  EXPECT_EQ(l.FindOrAdd("f77", "again"), 77);
  l.Put(77, "g77=moved");  // the index is rebuilt: f77 is gone, g77 is new
  EXPECT_EQ(l.IndexOfName("f77"), -1);
  EXPECT_EQ(l.IndexOfName("G77"), 77);
  EXPECT_EQ(l.IndexOfName("f149999"), kNames - 1);
}

// Form text beyond 1 GiB: more shared blocks than 12 bits could number (the
// old limit). Lines just short of a block of their own, each marked at both
// ends, and one long line and one grown line among them.
TEST(StringList, HoldsMoreThanAGibibyteOfShortLines) {
  kvp::TStringList l;
  constexpr size_t kLength = 16000;
  constexpr int kLines = 70000;  // 1.04 GiB of text
  std::string line(kLength, 'x');
  for (int i = 0; i < kLines; ++i) {
    const std::string mark = std::to_string(i);
    line.replace(0, mark.size(), mark);
    line.replace(kLength - mark.size(), mark.size(), mark);
    ASSERT_EQ(l.Add(line), i);
    if (i == kLines / 2) {
      ASSERT_EQ(l.Add("long=" + std::string(100000, 'L')), i + 1);
      ASSERT_EQ(l.Add("grown=a"), i + 2);
      l.ExtendValue(i + 2, "GROWN", ", b");
      i += 2;
    }
  }
  for (const int i : {0, 4095 * 16, kLines / 2, kLines - 1}) {
    const std::string mark = std::to_string(i);
    const std::string_view text = l.Strings(i);
    ASSERT_EQ(text.size(), kLength) << i;
    EXPECT_EQ(text.substr(0, mark.size()), mark) << i;
    EXPECT_EQ(text.substr(kLength - mark.size()), mark) << i;
  }
  EXPECT_EQ(l.Strings(kLines / 2 + 1).size(), 100005u);
  EXPECT_EQ(l.Strings(kLines / 2 + 2), "GROWN=a, b");
}

// The reference vectors of SipHash (key 00..0f, messages 00..n-1); the names'
// hash runs under a key of its own, not the zero key, and gives names that
// differ only in the case of a to z, at any place in a word, one value.
TEST(NameHash, SipHashMatchesTheReferenceAndFoldsCase) {
  const kvp::THashKey k{0x0706050403020100ull, 0x0f0e0d0c0b0a0908ull};
  unsigned char message[64];
  for (int i = 0; i < 64; ++i) message[i] = static_cast<unsigned char>(i);
  EXPECT_EQ((kvp::SipHash<2, 4>(k, message, 0)), 0x726fdb47dd0e0e31ull);
  EXPECT_EQ((kvp::SipHash<2, 4>(k, message, 15)), 0xa129ca6149be45e5ull);
  EXPECT_EQ((kvp::SipHash<1, 3>(k, message, 0)), 0xabac0158050fc4dcull);
  EXPECT_EQ((kvp::SipHash<1, 3>(k, message, 15)), 0xd320d86d2a519956ull);
  EXPECT_EQ((kvp::SipHash<1, 3>(k, message, 64)), 0xf17997ec4b4a6065ull);
  EXPECT_NE(kvp::MatchHash(""), (kvp::SipHash<1, 3>(kvp::THashKey{}, message, 0)));

  for (int c = 0; c < 256; ++c)
    for (size_t at = 0; at < 9; ++at) {
      std::string text = std::string(at, '\xe1') + static_cast<char>(c) + "~Z";
      const std::string key = kvp::MatchKey(text);
      ASSERT_EQ(kvp::MatchHash(text), kvp::MatchHash(key)) << c << " at " << at;
      if (key != text) continue;
      text[at] = static_cast<char>(c ^ 0x20);  // another letter's case, or another byte
      EXPECT_EQ(kvp::MatchHash(text) == kvp::MatchHash(key), kvp::MatchKey(text) == key) << c;
    }
}

TEST(PagedArray, KeepsItsElementsAcrossPages) {
  kvp::TPagedArray<int32_t> a;
  constexpr size_t kCount = 3 * kvp::TPagedArray<int32_t>::kPage + 5;
  for (size_t i = 0; i < kCount; ++i) a.push_back(static_cast<int32_t>(i * 3));
  ASSERT_EQ(a.size(), kCount);
  for (size_t i = 0; i < kCount; ++i) ASSERT_EQ(a[i], static_cast<int32_t>(i * 3)) << i;
  a[kCount - 1] = -1;
  EXPECT_EQ(a[kCount - 1], -1);
  EXPECT_EQ(a[kCount - 2], static_cast<int32_t>((kCount - 2) * 3));
  // Taken back across two page ends and the first page's, then grown again.
  constexpr size_t kPage = kvp::TPagedArray<int32_t>::kPage;
  while (a.size() > kPage - 2) a.pop_back();
  for (size_t i = a.size(); i < 2 * kPage + 1; ++i) a.push_back(-static_cast<int32_t>(i));
  EXPECT_EQ(a[kPage - 3], static_cast<int32_t>((kPage - 3) * 3));
  for (size_t i : {kPage - 2, kPage, 2 * kPage}) EXPECT_EQ(a[i], -static_cast<int32_t>(i)) << i;
  a.clear();
  EXPECT_EQ(a.size(), 0u);
  a.push_back(9);
  EXPECT_EQ(a[0], 9);
}

}  // namespace
