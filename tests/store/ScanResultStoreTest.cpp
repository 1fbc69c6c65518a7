#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "StoreTestUtil.h"
#include "engine/ByteOrder.h"
#include "engine/TextUtil.h"

using namespace storetest;

namespace {

class ResultStore : public StoreFixture {};

std::vector<unsigned char> RandomRecord(std::mt19937& rng) {
  std::vector<unsigned char> rec(sizeof(_FILE_NODE_));
  for (auto& b : rec) b = static_cast<unsigned char>(rng());
  return rec;
}

TEST_F(ResultStore, NodesGoThroughTheBufferAndReadBackByteIdentical) {
  CScanResultFileManager store;
  ASSERT_EQ(0, store.Init(L"Fast_nodes"));
  const std::string path = store.GetNodeFilePath();
  EXPECT_EQ(ScanDir() + "Fast_nodes", path);

  std::mt19937 rng(7);
  std::vector<std::vector<unsigned char>> written;
  struct stat st;
  for (u32 i = 1; i <= 450; ++i) {
    _FILE_NODE_* slot = store.CreateFileNode(sizeof(_FILE_NODE_));
    ASSERT_NE(nullptr, slot);
    EXPECT_EQ(i, store.GetFileIndex());
    std::vector<unsigned char> rec = RandomRecord(rng);
    memcpy(slot, rec.data(), rec.size());
    written.push_back(rec);
    ASSERT_EQ(0, stat(path.c_str(), &st));
    // 200 records fill the buffer; the 201st sends them out in one write.
    if (i <= 200) {
      EXPECT_EQ(0, st.st_size) << i;
    } else if (i <= 400) {
      EXPECT_EQ(68800, st.st_size) << i;
    } else {
      EXPECT_EQ(2 * 68800, st.st_size) << i;
    }
  }
  // Records still in the buffer are readable too.
  _FILE_NODE_ back;
  ASSERT_EQ(0, store.ReadFileNode(450, back));
  EXPECT_EQ(0, memcmp(&back, written[449].data(), sizeof(back)));

  EXPECT_EQ(0, store.FlushFileNodeToFile());
  std::vector<unsigned char> file = testfiles::ReadAll(path);
  ASSERT_EQ(450u * 344u, file.size());
  for (size_t i = 0; i < written.size(); ++i) {
    EXPECT_EQ(0, memcmp(file.data() + i * 344, written[i].data(), 344)) << "record " << i + 1;
    ASSERT_EQ(0, store.ReadFileNode(static_cast<u32>(i + 1), back));
    EXPECT_EQ(0, memcmp(&back, written[i].data(), 344)) << "record " << i + 1;
  }
  EXPECT_EQ(STATUS_INVALID_PARAMETER, store.ReadFileNode(0, back));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, store.ReadFileNode(451, back));
  EXPECT_EQ(nullptr, store.CreateFileNode(100));
}

TEST_F(ResultStore, InitCreatesTheScanFolderWithFolderAndFileModes) {
  std::string dir = ScanDir();
  struct stat st;
  ASSERT_NE(0, stat(dir.c_str(), &st));
  {
    CScanResultFileManager store;
    ASSERT_EQ(0, store.Init(L"Pro_Fat_1"));
  }
  ASSERT_EQ(0, stat(dir.c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(0700u, st.st_mode & 07777);
  for (const char* suffix : {"", "_Relation", "_DirInfo"}) {
    ASSERT_EQ(0, stat((dir + "Pro_Fat_1" + suffix).c_str(), &st)) << suffix;
    EXPECT_EQ(0600u, st.st_mode & 07777) << suffix;
  }
  CScanResultFileManager bad;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, bad.Init(L"../escape"));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, bad.Init(L""));
}

TEST_F(ResultStore, RelationTextAndDirInfoRoundTripThroughANewStore) {
  DIR_RELATION_MAP expect;
  std::vector<_DIR_FILE_INFO_> expectInfo;
  {
    CScanResultFileManager store;
    ASSERT_EQ(0, store.Init(L"Pro_Ntfs_rt"));
    for (u32 i = 0; i < 8; ++i) store.CreateFileNode(sizeof(_FILE_NODE_));
    store.AddChildren(5, 0, 1, 0, nullptr);
    store.AddChildren(5, 0, 2, 0, nullptr);
    store.AddChildren(5, 0, 7, 33, "LostFolder3");
    store.AddChildren(5, 1, 3, 0, nullptr);
    store.AddChildren(0xFFFFFFFFu, 7, 4, 0, nullptr);
    store.AddChildren(0xFFFFFFFFu, 0xFFFFFFFFu, 8, 0, nullptr);
    store.FlushBufToFile();
    expect = store.GetRelationMap();
    expectInfo = store.GetDirInfoList();
  }
  std::vector<unsigned char> text = testfiles::ReadAll(ScanDir() + "Pro_Ntfs_rt_Relation");
  EXPECT_EQ(
      " | 5 - [1,2,7] | 4294967301 - [3] | 34359738367 - [4] | 18446744073709551615 - [8]",
      std::string(text.begin(), text.end()));

  std::vector<unsigned char> info = testfiles::ReadAll(ScanDir() + "Pro_Ntfs_rt_DirInfo");
  ASSERT_EQ(264u, info.size());
  EXPECT_EQ(33u, GetU32LE(info.data(), info.size(), 0));
  EXPECT_EQ(7u, GetU32LE(info.data(), info.size(), 4));
  EXPECT_EQ(std::string("LostFolder3"), std::string(reinterpret_cast<const char*>(info.data() + 8)));
  for (size_t i = 8 + 11; i < 264; ++i) EXPECT_EQ(0, info[i]) << i;

  CScanResultFileManager again;
  ASSERT_EQ(0, again.Init(L"Pro_Ntfs_rt"));
  EXPECT_EQ(expect, again.GetRelationMap());
  ASSERT_EQ(expectInfo.size(), again.GetDirInfoList().size());
  EXPECT_EQ(0, memcmp(expectInfo.data(), again.GetDirInfoList().data(), 264));
  EXPECT_TRUE(again.IsDirFileNodeExist(5, 1));
  EXPECT_FALSE(again.IsDirFileNodeExist(6, 1));
}

TEST_F(ResultStore, ListingSortsFilesBeforeFoldersIgnoringCase) {
  CScanResultFileManager store;
  ASSERT_EQ(0, store.Init(L"Fast_list"));
  AddNode(store, MakeNode("b.txt", false, 11), 5, 0);
  AddNode(store, MakeNode("c", true, 12), 5, 0);
  AddNode(store, MakeNode("A.jpg", false, 13), 5, 0);
  AddNode(store, MakeNode("B", true, 14), 2, 0);
  AddNode(store, MakeNode("z", false, 15), 2, 0);
  store.FlushBufToFile();

  FILE_NODE_VECTOR out;
  EXPECT_EQ(0, store.GetChildrenFileNode(5, out));
  EXPECT_EQ("A.jpg,b.txt,c", Names(out));
  out.clear();
  EXPECT_EQ(0, store.GetChildrenFileNode(2, out));
  EXPECT_EQ("z,B", Names(out));
  // Key 0 picks the smallest key present, here 2.
  out.clear();
  EXPECT_EQ(0, store.GetChildrenFileNode(0, out));
  EXPECT_EQ("z,B", Names(out));

  // A folder that never got children lists empty and writes no entry.
  out.clear();
  EXPECT_EQ(0, store.GetChildrenFileNode(MakeDirKey(1, 12), out));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(2u, store.GetRelationMap().size());
  store.FlushBufToFile();
  std::vector<unsigned char> text = testfiles::ReadAll(ScanDir() + "Fast_list_Relation");
  EXPECT_EQ(" | 2 - [4,5] | 5 - [1,2,3]", std::string(text.begin(), text.end()));
}

TEST_F(ResultStore, DamagedPhotosAreListedAndFound) {
  // A photo whose first sector does not look like a photo is marked, never hidden.
  CScanResultFileManager store;
  ASSERT_EQ(0, store.Init(L"File_Type_photo"));
  AddNode(store, MakeNode("x.JPG", false, 0, 0), 0, 0);
  AddNode(store, MakeNode("x.doc", false, 0, 0), 0, 0);
  AddNode(store, MakeNode("y.jpg", false, 0, 1), 0, 0);
  store.FlushBufToFile();
  FILE_NODE_VECTOR out;
  EXPECT_EQ(0, store.GetChildrenFileNode(0, out));
  EXPECT_EQ("x.doc,x.JPG,y.jpg", Names(out));
  SEARCH_FILE_INFO_VECTOR hits;
  EXPECT_EQ(1, store.SearchFileNodeInfo(L"*.jpg|*.doc", hits));
  EXPECT_EQ("x.doc,x.JPG,y.jpg", Names(hits));
}

TEST(CategoryLists, HaveTheExactTexts) {
  EXPECT_EQ(0, strncmp(g_szPhotoExtList, "*.bmp|*.gif|*.jpg|", 18));
  EXPECT_NE(nullptr, strstr(g_szPhotoExtList, "|*.pct|*.tga|*.thm|"));
  EXPECT_EQ('|', g_szPhotoExtList[strlen(g_szPhotoExtList) - 1]);
  EXPECT_EQ('|', g_szVideoExtList[strlen(g_szVideoExtList) - 1]);
  EXPECT_NE(nullptr, strstr(g_szMusicExtList, "*.m4r|*.nra|*.snd"));
  EXPECT_NE(nullptr, strstr(g_szDocumentExtList, "*.mpp|*.mdb|*.accdb"));
  EXPECT_NE(nullptr, strstr(g_szVideoExtList, "*.hdmov|*.mod|*.mxf|*.lrv|"));
  EXPECT_STREQ("*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso|*.exe|*.apk|",
               g_szArchiveExtList);
  EXPECT_EQ(48u, static_cast<size_t>(std::count(g_szPhotoExtList, g_szPhotoExtList + strlen(g_szPhotoExtList), '|')));
}

TEST_F(ResultStore, OtherFilesAreThoseOfNoKnownType) {
  CScanResultFileManager store;
  ASSERT_EQ(0, store.Init(L"File_Type_other"));
  AddNode(store, MakeNode("readme", false, 0), 0, 0);
  AddNode(store, MakeNode("data.xyz", false, 0), 0, 0);
  AddNode(store, MakeNode("a.mp3", false, 0), 0, 0);
  AddNode(store, MakeNode("Folder.xyz", true, 9), 0, 0);
  AddNode(store, MakeNode("b.PDF", false, 0), 0, 0);

  SEARCH_FILE_INFO_VECTOR hits;
  // The search flushes pending records itself.
  EXPECT_EQ(1, store.SearchFileNodeInfo(L"*.doc|*.pdf|*.other", hits));
  EXPECT_EQ("b.PDF,data.xyz,readme", Names(hits));
  hits.clear();
  store.SearchFileNodeInfo(L"*.mp3|*.other", hits);
  EXPECT_EQ("a.mp3,data.xyz,readme", Names(hits));
  hits.clear();
  store.SearchFileNodeInfo(L"*.mp3", hits);
  EXPECT_EQ("a.mp3", Names(hits));
  // Hits are byte copies of the stored records.
  _FILE_NODE_ rec;
  ASSERT_EQ(0, store.ReadFileNode(hits[0].nFileIndex, rec));
  EXPECT_EQ(0, memcmp(&rec, &hits[0], sizeof(rec)));
  EXPECT_EQ(3u, hits[0].nFileIndex);
}

TEST_F(ResultStore, EveryCategoryIsSearchedInANodeFilePast128MiB) {
  {
    CScanResultFileManager store;
    ASSERT_EQ(0, store.Init(L"File_Type_huge"));
    AddNode(store, MakeNode("readme", false, 0), 0, 0);
    AddNode(store, MakeNode("a.doc", false, 0), 0, 0);
    store.FlushBufToFile();
    // Past 134217727 bytes with never-written slots (sparse, cheap).
    ASSERT_EQ(0, truncate(store.GetNodeFilePath().c_str(), 390300LL * 344));
  }
  CScanResultFileManager store;
  ASSERT_EQ(0, store.Init(L"File_Type_huge"));
  AddNode(store, MakeNode("data.xyz", false, 0), 0, 0);
  AddNode(store, MakeNode("font.ttf", false, 0), 0, 0);
  EXPECT_EQ(390302u, store.GetFileIndex());
  SEARCH_FILE_INFO_VECTOR hits;
  store.SearchFileNodeInfo(L"*.doc|*.other", hits);
  EXPECT_EQ("a.doc,data.xyz,font.ttf,readme", Names(hits));
}

int CountCalls(void* param, int progress, wchar_t*) {
  auto* seen = static_cast<std::vector<int>*>(param);
  seen->push_back(progress);
  return seen->size() >= 2 ? 1 : 0;
}

TEST_F(ResultStore, SearchReportsProgressAndStopsWhenAsked) {
  CScanResultFileManager store;
  ASSERT_EQ(0, store.Init(L"File_Type_cb"));
  for (int i = 0; i < 5000; ++i) AddNode(store, MakeNode("f.doc", false, 0), 0, 0);
  std::vector<int> seen;
  store.InitSearchCallBack(CountCalls, &seen);
  SEARCH_FILE_INFO_VECTOR hits;
  EXPECT_EQ(1, store.SearchFileNodeInfo(L"*.doc", hits));
  ASSERT_EQ(2u, seen.size());
  EXPECT_GT(seen[0], 0);
  EXPECT_LT(seen[1], 100);
  EXPECT_GT(seen[1], seen[0]);
  EXPECT_GT(hits.size(), 0u);
  EXPECT_LT(hits.size(), 5000u);
}

// Root 5 -> a.txt, d1(10) -> {b, c, d2(20) -> {e, f.jpg (damaged), g}}.
void BuildTree(CScanResultFileManager& store) {
  AddNode(store, MakeNode("a.txt", false, 100), 5, 0);
  AddNode(store, MakeNode("d1", true, 10), 5, 0);
  AddNode(store, MakeNode("b", false, 101), 10, 1);
  AddNode(store, MakeNode("c", false, 102), 10, 1);
  AddNode(store, MakeNode("d2", true, 20), 10, 1);
  AddNode(store, MakeNode("e", false, 103), 20, 2);
  AddNode(store, MakeNode("f.jpg", false, 104, 0), 20, 2);
  AddNode(store, MakeNode("g", false, 105), 20, 2);
}

TEST_F(ResultStore, CountsFilesDownEveryLevel) {
  CScanResultFileManager store;
  ASSERT_EQ(0, store.Init(L"Fast_count"));
  BuildTree(store);
  store.FlushBufToFile();
  u32 count = 99;
  EXPECT_EQ(0, store.GetChildrenFileCount(5, count));
  EXPECT_EQ(6u, count);
  EXPECT_EQ(0, store.GetChildrenFileCount(MakeDirKey(1, 10), count));
  EXPECT_EQ(5u, count);
  EXPECT_EQ(0, store.GetChildrenFileCount(MakeDirKey(2, 20), count));
  EXPECT_EQ(3u, count);
  EXPECT_EQ(0, store.GetChildrenFileCount(MakeDirKey(3, 20), count));
  EXPECT_EQ(0u, count);

  // Two folders with the same number at one depth reach the same key once.
  AddNode(store, MakeNode("d2-copy", true, 20), 10, 1);
  store.FlushBufToFile();
  EXPECT_EQ(0, store.GetChildrenFileCount(5, count));
  EXPECT_EQ(6u, count);
}

TEST_F(ResultStore, ParentPathsNameTheFoldersFromTheTop) {
  CScanResultFileManager store;
  ASSERT_EQ(0, store.Init(L"Fast_path"));
  u32 lost = AddNode(store, MakeNode("LostFolder3", true, 40), 5, 0);
  u32 inLost = AddNode(store, MakeNode("x.doc", false, 0), 40, 1);
  u32 photos = AddNode(store, MakeNode("Photos", true, 41), 40, 1);
  u32 deep = AddNode(store, MakeNode("p.jpg", false, 0), 41, 2);
  u32 top = AddNode(store, MakeNode("top.txt", false, 0), 5, 0);
  store.FlushBufToFile();

  _FILE_NODE_ node;
  wchar_t path[256];
  ASSERT_EQ(0, store.ReadFileNode(inLost, node));
  EXPECT_EQ(0, store.GetParentDirPath(node, path, 256));
  EXPECT_EQ(L"LostFolder3/", std::wstring(path));
  ASSERT_EQ(0, store.ReadFileNode(deep, node));
  store.GetParentDirPath(node, path, 256);
  EXPECT_EQ(L"LostFolder3/Photos/", std::wstring(path));
  FILE_NODE_VECTOR chain;
  // The walk ends at key 5, which names no folder node of the set.
  EXPECT_EQ(STATUS_INVALID_PARAMETER, store.GetParentFileNode(node, chain));
  ASSERT_EQ(2u, chain.size());
  EXPECT_EQ(photos, chain[0].nFileIndex);
  EXPECT_EQ(lost, chain[1].nFileIndex);
  ASSERT_EQ(0, store.ReadFileNode(top, node));
  store.GetParentDirPath(node, path, 256);
  EXPECT_EQ(L"", std::wstring(path));
  // A short output buffer is cut, not overrun.
  wchar_t small[5];
  ASSERT_EQ(0, store.ReadFileNode(deep, node));
  store.GetParentDirPath(node, small, 5);
  EXPECT_EQ(L"Lost", std::wstring(small));
}

TEST_F(ResultStore, ParentWalkFindsFoldersWithoutDirInfoInTheNodeFile) {
  CScanResultFileManager store;
  ASSERT_EQ(0, store.Init(L"Pro_Fat_nodir"));
  _FILE_NODE_ dir = MakeNode("Holiday", true, 70);
  _FILE_NODE_* slot = store.CreateFileNode(sizeof(_FILE_NODE_));
  *slot = dir;
  slot->nFileIndex = store.GetFileIndex();
  store.AddChildren(2, 0, slot->nFileIndex, 70, nullptr);  // no name: no dir-info record
  u32 file = AddNode(store, MakeNode("img.jpg", false, 0), 70, 1);
  store.FlushBufToFile();
  EXPECT_TRUE(store.GetDirInfoList().empty());
  _FILE_NODE_ node;
  ASSERT_EQ(0, store.ReadFileNode(file, node));
  wchar_t path[64];
  store.GetParentDirPath(node, path, 64);
  EXPECT_EQ(L"Holiday/", std::wstring(path));
  _FILE_NODE_ found;
  EXPECT_EQ(0, store.GetFileNodeByClusterNO(70, found));
  EXPECT_STREQ("Holiday", found.szFileName);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, store.GetFileNodeByClusterNO(71, found));
}

TEST_F(ResultStore, ParentWalkOfDamagedMetadataEnds) {
  CScanResultFileManager store;
  ASSERT_EQ(0, store.Init(L"Pro_Fat_cycle"));
  // A (10) sits in B (20), B sits in A: a loop two folders long.
  u32 a = AddNode(store, MakeNode("A", true, 10), 20, 1);
  u32 b = AddNode(store, MakeNode("B", true, 20), 10, 1);
  u32 f = AddNode(store, MakeNode("f.txt", false, 0), 10, 2);
  // A folder listed inside itself.
  u32 self = AddNode(store, MakeNode("S", true, 30), 30, 3);
  u32 g = AddNode(store, MakeNode("g.txt", false, 0), 30, 4);
  store.FlushBufToFile();

  _FILE_NODE_ node;
  FILE_NODE_VECTOR chain;
  ASSERT_EQ(0, store.ReadFileNode(f, node));
  EXPECT_EQ(0, store.GetParentFileNode(node, chain));
  ASSERT_EQ(2u, chain.size());
  EXPECT_EQ(a, chain[0].nFileIndex);
  EXPECT_EQ(b, chain[1].nFileIndex);
  wchar_t path[64];
  store.GetParentDirPath(node, path, 64);
  EXPECT_EQ(L"B/A/", std::wstring(path));

  chain.clear();
  ASSERT_EQ(0, store.ReadFileNode(self, node));
  EXPECT_EQ(0, store.GetParentFileNode(node, chain));
  EXPECT_TRUE(chain.empty());
  chain.clear();
  ASSERT_EQ(0, store.ReadFileNode(g, node));
  EXPECT_EQ(0, store.GetParentFileNode(node, chain));
  ASSERT_EQ(1u, chain.size());
  EXPECT_STREQ("S", chain[0].szFileName);
}

TEST_F(ResultStore, FolderNamesFromTheDiskCannotLeaveTheSavePath) {
  CScanResultFileManager store;
  ASSERT_EQ(0, store.Init(L"Pro_Fat_names"));
  AddNode(store, MakeNode("..", true, 10), 2, 0);
  AddNode(store, MakeNode("a/b", true, 11), 10, 1);
  u32 f = AddNode(store, MakeNode("f.txt", false, 0), 11, 2);
  store.FlushBufToFile();
  _FILE_NODE_ node;
  ASSERT_EQ(0, store.ReadFileNode(f, node));
  wchar_t path[64];
  store.GetParentDirPath(node, path, 64);
  std::wstring p(path);
  EXPECT_EQ(std::wstring::npos, p.find(L"../"));
  EXPECT_EQ(L"___/a_b/", p);
}

TEST_F(ResultStore, ASecondStoreBrowsesAndExtendsAPastResultSet) {
  {
    CScanResultFileManager store;
    ASSERT_EQ(0, store.Init(L"Fast_past"));
    BuildTree(store);
    AddNode(store, MakeNode("z.pdf", false, 106), 5, 0);
  }  // the destructor flushes
  CScanResultFileManager store;
  ASSERT_EQ(0, store.Init(L"Fast_past"));
  EXPECT_EQ(9u, store.GetFileIndex());
  EXPECT_EQ(9u, store.GetReloadedCount());
  FILE_NODE_VECTOR out;
  EXPECT_EQ(0, store.GetChildrenFileNode(5, out));
  EXPECT_EQ("a.txt,z.pdf,d1", Names(out));
  u32 count = 0;
  EXPECT_EQ(0, store.GetChildrenFileCount(5, count));
  EXPECT_EQ(7u, count);
  SEARCH_FILE_INFO_VECTOR hits;
  store.SearchFileNodeInfo(L"*.txt|*.pdf|*.jpg", hits);
  EXPECT_EQ("a.txt,f.jpg,z.pdf", Names(hits));

  // A resumed scan adds nodes after the old ones without overwriting them.
  u32 added = AddNode(store, MakeNode("new.txt", false, 107), 20, 2);
  EXPECT_EQ(10u, added);
  store.FlushBufToFile();
  _FILE_NODE_ node;
  ASSERT_EQ(0, store.ReadFileNode(1, node));
  EXPECT_STREQ("a.txt", node.szFileName);
  ASSERT_EQ(0, store.ReadFileNode(10, node));
  EXPECT_STREQ("new.txt", node.szFileName);
  EXPECT_EQ(10u * 344, testfiles::ReadAll(store.GetNodeFilePath()).size());
  out.clear();
  store.GetChildrenFileNode(MakeDirKey(2, 20), out);
  EXPECT_EQ("e,f.jpg,g,new.txt", Names(out));
}

TEST_F(ResultStore, TornAndDamagedFilesOfAPastSetAreTolerated) {
  {
    CScanResultFileManager store;
    ASSERT_EQ(0, store.Init(L"Pro_Ntfs_torn"));
    BuildTree(store);
  }
  std::string dir = ScanDir();
  // Half a record at the end of the node file and of the dir-info file.
  std::vector<unsigned char> nodes = testfiles::ReadAll(dir + "Pro_Ntfs_torn");
  nodes.resize(nodes.size() + 100, 0xAB);
  testfiles::WriteAll(dir + "Pro_Ntfs_torn", nodes.data(), nodes.size());
  std::vector<unsigned char> info = testfiles::ReadAll(dir + "Pro_Ntfs_torn_DirInfo");
  info.resize(info.size() + 50, 0xCD);
  testfiles::WriteAll(dir + "Pro_Ntfs_torn_DirInfo", info.data(), info.size());
  // Relations naming nodes that do not exist, and a garbage tail.
  std::string rel = " | 5 - [1,2,4000000000,99] | 4294967306 - [3,4,5] | 8589934612 - [6,7,8] | 9 - [0,12";
  testfiles::WriteAll(dir + "Pro_Ntfs_torn_Relation", rel.data(), rel.size());

  CScanResultFileManager store;
  ASSERT_EQ(0, store.Init(L"Pro_Ntfs_torn"));
  EXPECT_EQ(8u, store.GetFileIndex());
  EXPECT_EQ(2u, store.GetDirInfoList().size());
  FILE_NODE_VECTOR out;
  EXPECT_EQ(0, store.GetChildrenFileNode(5, out));
  EXPECT_EQ("a.txt,d1", Names(out));
  u32 count = 0;
  EXPECT_EQ(0, store.GetChildrenFileCount(5, count));
  EXPECT_EQ(6u, count);
  // The new node replaces the torn tail and the rewritten relation text drops
  // what could not be parsed.
  AddNode(store, MakeNode("h", false, 108), 5, 0);
  store.FlushBufToFile();
  EXPECT_EQ(9u * 344, testfiles::ReadAll(dir + "Pro_Ntfs_torn").size());
  std::vector<unsigned char> text = testfiles::ReadAll(dir + "Pro_Ntfs_torn_Relation");
  EXPECT_EQ(" | 5 - [1,2,4000000000,99,9] | 9 - [0] | 4294967306 - [3,4,5] | 8589934612 - [6,7,8]",
            std::string(text.begin(), text.end()));
}

}  // namespace
