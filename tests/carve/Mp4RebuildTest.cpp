// Camera videos whose media data was stored in two pieces come back byte
// for byte from their sample tables, the movie box first or last; a first
// piece spliced onto another video's tail is never called verified.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "CarveTestUtil.h"
#include "support/DeepScan.h"
#include "support/TestImages.h"

namespace {

// The carving engine over a whole image, the volume's cluster size given.
struct Carved {
  std::string support;
  CDiskReader reader;
  CFileTypeRecovery engine;
  std::map<u64, _FILE_NODE_> byFirstSector;

  Carved(const std::string& name, u32 clusterBytes) {
    const std::string image = testimg::ImagePath(name);
    support = carvetest::UseFreshSupportDir("mp4-rebuild");
    struct stat st;
    if (stat(image.c_str(), &st) != 0) return;
    const u64 sectors = static_cast<u64>(st.st_size) / 512;
    reader.Init(image.c_str(), sectors);
    std::wstring wide = Utf8ToWide(image);
    engine.Init(const_cast<wchar_t*>(wide.c_str()), L'C');
    BIFRAG_LIMITS limits;
    limits.nClusterBytes = clusterBytes;
    engine.SetBifragmentLimits(limits);
    CFileTypeJudge::ResetPass();
    carvetest::RunSectorPass(engine, reader, 0, sectors);
    FILE_NODE_VECTOR nodes;
    engine.GetChildrenFileNode(nullptr, 0, nodes);
    for (const _FILE_NODE_& n : nodes) byFirstSector[n.u64RecordSector] = n;
  }
  ~Carved() { testfiles::Run("rm -rf '" + support + "'"); }
};

struct Note {
  std::string word, layout;
  u64 firstSectors = 0, second = 0;
  explicit Note(const std::string& s) {
    std::istringstream in(s);
    in >> word;
    if (word == "split") in >> firstSectors >> second;
    in >> layout;
  }
};

}  // namespace

// Every split video is found in its two pieces with the right gap; where
// only one cluster boundary between the samples around the break fits the
// data, it is verified and byte-identical; where several fit (noise or
// another video's data against a frame larger than a cluster), the bytes
// there are a guess and it is not verified.
TEST(Mp4Rebuild, SplitVideosComeBackByteIdenticalAndVerified) {
  const testimg::Manifest m = testimg::LoadManifest("mp4frag.img");
  const std::string img = testimg::ImagePath("mp4frag.img");
  Carved c("mp4frag.img", m.clusterBytes);
  int split = 0, back = 0, whole = 0;
  std::map<std::string, int> byLayout;
  for (const auto& f : m.files) {
    SCOPED_TRACE(f.name + " " + f.note);
    const Note note(f.note);
    if (note.word == "split") {
      // The manifest's pieces make the video (read here without the engine).
      auto head = testimg::ReadAt(img, u64(f.firstSector) * 512, note.firstSectors * 512);
      auto tail = testimg::ReadAt(img, note.second * 512, u64(f.size) - note.firstSectors * 512);
      head.insert(head.end(), tail.begin(), tail.end());
      ASSERT_EQ(f.sha256, testimg::Sha256Bytes(head.data(), head.size()));
    }
    auto it = c.byFirstSector.find(u64(f.firstSector));
    ASSERT_NE(it, c.byFirstSector.end()) << "not found";
    const _FILE_NODE_& node = it->second;
    u64 size = 0;
    const std::string sha = testscan::ContentSha256(c.engine, node, &size);
    EXPECT_EQ(u64(f.size), size);
    if (note.word == "whole") {
      EXPECT_FALSE(node.nResultFlags & RESULT_FLAG_TWO_PIECES);
      EXPECT_EQ(f.sha256, sha);
      EXPECT_EQ(INTEGRITY_VERIFIED, node.nIntegrity);
      whole += sha == f.sha256 && node.nIntegrity == INTEGRITY_VERIFIED;
      continue;
    }
    ++split;
    ASSERT_TRUE(node.nResultFlags & RESULT_FLAG_TWO_PIECES);
    EXPECT_EQ(note.second - note.firstSectors, node.u64DataStartSector - node.nClusterNO) << "the gap";
    if (node.nIntegrity != INTEGRITY_VERIFIED) {
      EXPECT_EQ(INTEGRITY_UNVERIFIED, node.nIntegrity);
      continue;
    }
    EXPECT_EQ(f.sha256, sha);
    EXPECT_EQ(note.firstSectors, node.nClusterNO);
    back += sha == f.sha256;
    byLayout[note.layout] += sha == f.sha256;
  }
  EXPECT_GE(split, 16);
  EXPECT_EQ(2, whole);
  EXPECT_GE(back * 4, split * 3) << "most cuts fall where one cluster boundary fits";
  std::printf("two-piece videos byte-identical and verified: %d of %d (moov first %d, moov last %d); whole: %d\n",
              back, split, byLayout["moov-first"], byLayout["moov-last"], whole);
}

// The deep scan as the program runs it, no cluster size known: a video
// called verified is the video, byte for byte.
TEST(Mp4Rebuild, WithoutAClusterSizeWhatIsVerifiedIsExact) {
  const testimg::Manifest m = testimg::LoadManifest("mp4frag.img");
  auto scan = testscan::RunDeepScan(testimg::ImagePath("mp4frag.img"));
  ASSERT_EQ(0, scan->status);
  std::map<u64, _FILE_NODE_> carved;
  for (auto& hit : testscan::AllResults(*scan->engine))
    if (hit.nEngineType == ENGINE_FILE_TYPE) carved[hit.u64RecordSector] = hit;
  int verified = 0, pieces = 0;
  for (const auto& f : m.files) {
    SCOPED_TRACE(f.name + " " + f.note);
    auto it = carved.find(u64(f.firstSector));
    ASSERT_NE(it, carved.end()) << "not found";
    pieces += (it->second.nResultFlags & RESULT_FLAG_TWO_PIECES) != 0;
    if (it->second.nIntegrity != INTEGRITY_VERIFIED) continue;
    ++verified;
    EXPECT_EQ(f.sha256, testscan::ContentSha256(*scan->engine, it->second));
  }
  std::printf("no cluster size: %zu videos, %d found in two pieces, %d verified\n", m.files.size(), pieces, verified);
}

// A card's deleted videos, each written around a file that still stands:
// the file system's cluster size steps the search and its live file pins the
// cut, so each comes back whole and verified, listed beside the file
// system's own result (which reads the cleared chain as one run).
TEST(Mp4Rebuild, OnACardTheLiveFileInTheGapPinsTheCut) {
  const testimg::Manifest m = testimg::LoadManifest("mp4fat.img");
  auto scan = testscan::RunDeepScan(testimg::ImagePath("mp4fat.img"));
  ASSERT_EQ(0, scan->status);
  std::map<u64, _FILE_NODE_> carved;
  for (auto& hit : testscan::AllResults(*scan->engine))
    if (hit.nEngineType == ENGINE_FILE_TYPE) carved[hit.u64RecordSector] = hit;
  int videos = 0;
  for (const auto& f : m.files) {
    if (f.type != "mp4") continue;
    ++videos;
    SCOPED_TRACE(f.name + " " + f.note);
    const Note note(f.note);
    auto it = carved.find(u64(f.firstSector));
    ASSERT_NE(it, carved.end()) << "not listed";
    EXPECT_TRUE(it->second.nResultFlags & RESULT_FLAG_TWO_PIECES);
    EXPECT_EQ(INTEGRITY_VERIFIED, it->second.nIntegrity);
    EXPECT_EQ(note.firstSectors, it->second.nClusterNO);
    EXPECT_EQ(note.second, it->second.u64DataStartSector);
    EXPECT_EQ(f.sha256, testscan::ContentSha256(*scan->engine, it->second));
  }
  EXPECT_EQ(6, videos);
}

TEST(Mp4Rebuild, NoSpliceOfTwoVideosIsVerified) {
  const testimg::Manifest m = testimg::LoadManifest("mp4splices.img");
  Carved c("mp4splices.img", m.clusterBytes);
  int splices = 0, falseVerified = 0;
  for (const auto& f : m.files) {
    ASSERT_EQ("splice", Note(f.note).word);
    ++splices;
    auto it = c.byFirstSector.find(u64(f.firstSector));
    if (it != c.byFirstSector.end() && it->second.nIntegrity == INTEGRITY_VERIFIED) {
      ++falseVerified;
      ADD_FAILURE() << f.name << " " << f.note << " verified as " << it->second.u64FileSize << " bytes";
    }
  }
  EXPECT_GE(splices, 16);
  EXPECT_EQ(0, falseVerified);
  std::printf("random splices: %d, verified: %d\n", splices, falseVerified);
}
