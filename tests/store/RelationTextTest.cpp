// The relation text is read back from files a crash or a damaged disk may
// have left behind: the parser must stay inside the text and keep only what
// it can trust.
#include <memory>
#include <random>

#include "StoreTestUtil.h"

namespace {

DIR_RELATION_MAP Parse(const std::string& text) {
  DIR_RELATION_MAP map;
  EXPECT_EQ(0, CScanResultFileManager::GetDirRelationMap(text.data(), text.size(), map));
  return map;
}

TEST(RelationText, ParsesWellFormedEntries) {
  DIR_RELATION_MAP m = Parse(" | 5 - [1,2,7] | 4294967301 - [3]");
  ASSERT_EQ(2u, m.size());
  EXPECT_EQ((std::vector<u32>{1, 2, 7}), m[5]);
  EXPECT_EQ((std::vector<u32>{3}), m[MakeDirKey(1, 5)]);
  // A key met again replaces its list.
  m = Parse(" | 5 - [1] | 5 - [9,8]");
  EXPECT_EQ((std::vector<u32>{9, 8}), m[5]);
  // The length bounds the parse even inside a longer buffer.
  std::string text = " | 5 - [1,2] | 6 - [3]";
  DIR_RELATION_MAP cut;
  CScanResultFileManager::GetDirRelationMap(text.data(), 11, cut);  // " | 5 - [1,2"
  EXPECT_EQ((std::vector<u32>{1}), cut[5]);
  EXPECT_EQ(0u, cut.count(6));
}

TEST(RelationText, DropsWhatADamagedTextCannotSupport) {
  struct Case {
    const char* text;
    DIR_RELATION_MAP expect;
  };
  const Case cases[] = {
      {"", {}},
      {" | ", {}},
      {" | 5 - [", {}},
      {" | 5 - []", {}},
      {" | - [1]", {}},
      {" | 99999999999999999999999 - [1] | 6 - [2]", {{6, {2}}}},  // key overflows u64
      {" | 18446744073709551615 - [4294967295]", {{~0ull, {0xFFFFFFFFu}}}},
      {" | 5 - [4294967296,3]", {{5, {3}}}},  // child overflows u32
      {" | 5 - [1,x,2,,3]", {{5, {1, 2, 3}}}},
      {" | 5 - [1,2", {{5, {1}}}},  // cut-off last number is not trusted
      {" | 5 - [1,2 | 6 - [3]", {{5, {1}}, {6, {3}}}},  // lost "]" before the next entry
      {" | 5 -[1] | 6 - [2]", {{6, {2}}}},
      {"garbage | 5 - [1]garbage | 6 - [2]", {{5, {1}}, {6, {2}}}},
      {" |  | 7 - [1]", {{7, {1}}}},
      {" | -5 - [1]", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expect, Parse(c.text)) << "text: \"" << c.text << "\"";
}

TEST(RelationText, WrittenMapsParseBackUnchanged) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 50; ++round) {
    DIR_RELATION_MAP map;
    int keys = 1 + static_cast<int>(rng() % 20);
    for (int k = 0; k < keys; ++k) {
      u64 key = rng() % 3 == 0 ? rng() : MakeDirKey(static_cast<u32>(rng() % 4), static_cast<u32>(rng()));
      std::vector<u32>& list = map[key];
      list.clear();
      int n = 1 + static_cast<int>(rng() % 30);
      for (int i = 0; i < n; ++i) list.push_back(static_cast<u32>(rng()));
    }
    std::string text;
    for (const auto& kv : map) {
      text += " | " + std::to_string(kv.first) + " - [";
      for (size_t i = 0; i < kv.second.size(); ++i) text += (i ? "," : "") + std::to_string(kv.second[i]);
      text += "]";
    }
    EXPECT_EQ(map, Parse(text)) << text;
  }
}

TEST(RelationText, RandomBytesStayInBoundsAndYieldOnlyNonEmptyLists) {
  std::mt19937 rng(3);
  const char alphabet[] = " |-[],0123456789x";
  for (int round = 0; round < 3000; ++round) {
    size_t len = rng() % 200;
    // Exact-size heap buffer, so a read past the end is caught by the sanitizer.
    std::unique_ptr<char[]> buf(new char[len ? len : 1]);
    for (size_t i = 0; i < len; ++i)
      buf[i] = round % 2 ? alphabet[rng() % (sizeof(alphabet) - 1)] : static_cast<char>(rng());
    DIR_RELATION_MAP map;
    EXPECT_EQ(0, CScanResultFileManager::GetDirRelationMap(buf.get(), len, map));
    for (const auto& kv : map) EXPECT_FALSE(kv.second.empty());
  }
}

}  // namespace
