// TStringList: the name=value view, lookups ignoring case, rewriting in place,
// and the hash index agreeing with the plain scan.
#include "engine/stringlist.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

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

}  // namespace
