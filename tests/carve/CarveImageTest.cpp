// Carving the builder's carve.img the way the deep scan offers it: every
// sample must be found at its sector with the right name, and the rules that
// end on a marker or a declared length must give back the original bytes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "CarveTestUtil.h"
#include "TestImages.h"
#include "carve/FileTypeJudge.h"
#include "carve/FileTypeRecovery.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"
#include "store/ScanResultFileManager.h"

namespace {

// Manifest type -> the extension a carved file of it is named with.
const std::map<std::string, std::string> kCarvedExt = {
    {"7z", "7z"},     {"cab", "cab"},   {"zip", "zip"},   {"3gp", "3gp"},   {"avi", "avi"},   {"flv", "flv"},
    {"mkv", "mkv"},   {"mov", "mov"},   {"mp4", "mp4"},   {"mpg", "mpeg"},  {"ts", "ts"},     {"wmv", "wmv"},
    {"sqlite", "db"}, {"doc", "doc"},   {"docx", "docx"}, {"pdf", "pdf"},   {"ttf", "ttf"},   {"ico", "ico"},
    {"bmp", "bmp"},   {"gif", "gif"},   {"png", "png"},   {"psd", "psd"},   {"tif", "tif"},   {"jpg", "jpg"},
    {"gz", "gz"},     {"xlsx", "xlsx"}, {"pptx", "pptx"}, {"wav", "wav"},   {"mp3", "mp3"},   {"mid", "mid"},
    {"xls", "xls"},   {"ppt", "ppt"},   {"rar", "rar"},   {"swf", "swf"},   {"asf", "wmv"},   {"txt", "txt"},
};

std::string ExtOf(const std::string& name) {
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

class CarveImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image = testimg::ImagePath("carve.img");
    if (access(image.c_str(), R_OK) != 0) GTEST_SKIP() << "carve.img not built";
    manifest = testimg::LoadManifest("carve.img");
    supportDir = carvetest::UseFreshSupportDir("carve-image");
    struct stat st;
    ASSERT_EQ(0, stat(image.c_str(), &st));
    sectors = static_cast<u64>(st.st_size) / 512;
    ASSERT_EQ(0, reader.Init(image.c_str(), sectors));
    std::wstring wide = Utf8ToWide(image);
    ASSERT_EQ(0, engine.Init(const_cast<wchar_t*>(wide.c_str()), L'C'));
    ASSERT_EQ(sectors, engine.GetSectorCount());
    CFileTypeJudge::ResetPass();
    pass = carvetest::RunSectorPass(engine, reader, 0, sectors);
    ASSERT_EQ(0, engine.GetChildrenFileNode(nullptr, 0, nodes));
    for (const _FILE_NODE_& n : nodes) bySector[n.u64RecordSector] = n;
  }
  void TearDown() override {
    if (!supportDir.empty()) testimg::RemoveTree(supportDir);
  }

  // Whether a sample starts with something the carver knows (text by its
  // bytes, an MP3 by its ID3v2 head or its run of frames).
  bool HasSignature(const testimg::ManifestFile& f) const { return kCarvedExt.count(f.type) != 0; }

  std::string image, supportDir;
  testimg::Manifest manifest;
  u64 sectors = 0;
  CDiskReader reader;
  CFileTypeRecovery engine;
  carvetest::PassResult pass;
  FILE_NODE_VECTOR nodes;
  std::map<u64, _FILE_NODE_> bySector;
};

TEST_F(CarveImageTest, EverySampleIsFoundAtItsSectorAndMeasured) {
  std::string outDir = testfiles::FreshDir("carve-image-out");
  int checked = 0, exact = 0;
  std::printf("%-16s %-12s %8s %10s %10s  %-11s %s\n", "sample", "note", "sector", "size", "carved", "result",
              "integrity");
  for (const testimg::ManifestFile& f : manifest.files) {
    auto ext = kCarvedExt.find(f.type);
    SCOPED_TRACE(f.name + " at " + std::to_string(f.firstSector) + " (" + f.note + ")");
    if (!HasSignature(f)) {
      EXPECT_EQ(0u, bySector.count(static_cast<u64>(f.firstSector))) << "carved without a signature";
      continue;
    }
    auto it = bySector.find(static_cast<u64>(f.firstSector));
    if (it == bySector.end()) {
      std::printf("%-16s %-12s %8lld %10llu %10s  NOT FOUND\n", f.name.c_str(), f.note.c_str(),
                  static_cast<long long>(f.firstSector), static_cast<unsigned long long>(f.size), "-");
      ADD_FAILURE() << "not carved";
      continue;
    }
    const _FILE_NODE_& node = it->second;
    ++checked;
    EXPECT_EQ(std::to_string(f.firstSector) + "." + ext->second, std::string(node.szFileName));
    EXPECT_EQ(ENGINE_FILE_TYPE, node.nEngineType);
    EXPECT_EQ(1u, node.bHealth);
    EXPECT_EQ(0xFFFFFFFFu, node.nClusterBytes);

    std::string target = outDir + "/" + node.szFileName;
    std::wstring wtarget = Utf8ToWide(target);
    _FILE_NODE_ copy = node;
    ASSERT_EQ(0, engine.SaveFileData(&copy, const_cast<wchar_t*>(wtarget.c_str()), 0));
    std::vector<unsigned char> saved = testfiles::ReadAll(target);
    ASSERT_EQ(node.u64FileSize, saved.size());

    // Every whole sample, whatever follows it, is measured by its own
    // structure: the saved bytes are the original's.
    std::string result;
    if (f.HasTag("truncated")) {
      // Half a picture: everything that is there comes back first.
      ASSERT_GE(saved.size(), f.size);
      EXPECT_EQ(f.sha256, testimg::Sha256Bytes(saved.data(), f.size));
      result = "prefix";
    } else {
      EXPECT_EQ(f.sha256, testimg::Sha256Bytes(saved.data(), saved.size())) << "saved bytes differ";
      result = "exact";
      ++exact;
    }
    std::printf("%-16s %-12s %8lld %10llu %10llu  %-11s %s%s\n", f.name.c_str(), f.note.c_str(),
                static_cast<long long>(f.firstSector), static_cast<unsigned long long>(f.size),
                static_cast<unsigned long long>(node.u64FileSize), result.c_str(), IntegrityName(node.nIntegrity),
                node.nResultFlags & RESULT_FLAG_LENGTH_CAPPED ? " capped" : "");
  }
  EXPECT_GE(checked, 30) << "the manifest lists too few samples";
  EXPECT_GE(exact, 40);
  testimg::RemoveTree(outDir);
}

TEST_F(CarveImageTest, EveryVerifiedResultIsByteIdenticalToAnOriginal) {
  std::set<std::string> originals;
  for (const testimg::ManifestFile& f : manifest.files)
    if (!f.samplePath.empty()) originals.insert(testimg::Sha256File(f.samplePath));
  std::map<int, int> counts;
  for (const _FILE_NODE_& n : nodes) {
    ++counts[n.nIntegrity];
    EXPECT_FALSE(n.nResultFlags & RESULT_FLAG_CHECK_PENDING) << n.szFileName << ": listed without its verdict";
    if (n.nIntegrity != INTEGRITY_VERIFIED) continue;
    EXPECT_FALSE(n.nResultFlags & RESULT_FLAG_LENGTH_CAPPED) << n.szFileName;
    std::vector<uint8_t> bytes = testimg::ReadAt(image, n.u64RecordSector * 512, n.u64FileSize);
    EXPECT_EQ(1u, originals.count(testimg::Sha256Bytes(bytes.data(), bytes.size()))) << n.szFileName;
  }
  std::printf("verified %d, partial %d, broken %d, unverified %d\n", counts[INTEGRITY_VERIFIED],
              counts[INTEGRITY_PARTIAL], counts[INTEGRITY_BROKEN], counts[INTEGRITY_UNVERIFIED]);
  EXPECT_GE(counts[INTEGRITY_VERIFIED], 20);
  for (const testimg::ManifestFile& f : manifest.files) {
    if (f.HasTag("truncated")) {
      EXPECT_NE(INTEGRITY_VERIFIED, bySector[f.firstSector].nIntegrity) << f.name;
    }
  }
}

TEST_F(CarveImageTest, NothingIsCarvedFromNoiseOrZeros) {
  // Every carved file starts where the builder placed a sample (or inside a
  // file measured from its header, where the pass looks again).
  std::set<u64> placed;
  for (const testimg::ManifestFile& f : manifest.files) placed.insert(static_cast<u64>(f.firstSector));
  for (const _FILE_NODE_& n : nodes) {
    if (placed.count(n.u64RecordSector)) continue;
    bool inside = false;
    for (const testimg::ManifestFile& f : manifest.files) {
      u64 start = static_cast<u64>(f.firstSector);
      if (n.u64RecordSector > start && n.u64RecordSector < start + (f.size + 511) / 512) inside = true;
    }
    EXPECT_TRUE(inside) << "stray carve " << n.szFileName;
  }
  EXPECT_EQ(nodes.size(), pass.u64FilesFound);
  EXPECT_EQ(static_cast<int>(nodes.size()), engine.GetLostFileCount());
  unsigned int count = 0;
  EXPECT_EQ(0, engine.GetChildrenFileCount(nullptr, 0, count));
  EXPECT_EQ(nodes.size(), count);
  // Nodes listed flat under key 0 only.
  FILE_NODE_VECTOR none;
  EXPECT_EQ(0, engine.GetChildrenFileNode(&nodes[0], 0, none));
  EXPECT_EQ(0, engine.GetChildrenFileNode(nullptr, 1, none));
  EXPECT_TRUE(none.empty());
}

TEST_F(CarveImageTest, SearchFindsCarvedFilesByCategory) {
  SEARCH_FILE_INFO_VECTOR hits;
  std::wstring pattern = L"*.jpg|*.png|";
  engine.SearchFileNode(const_cast<wchar_t*>(pattern.c_str()), hits);
  size_t expected = 0;
  for (const _FILE_NODE_& n : nodes) {
    std::string e = ExtOf(n.szFileName);
    if (e == "jpg" || e == "png") ++expected;
  }
  EXPECT_GE(expected, 5u);
  EXPECT_EQ(expected, hits.size());
}

TEST_F(CarveImageTest, PreviewOfCarvedPictureDecodes) {
  const testimg::ManifestFile* jpg = nullptr;
  for (const testimg::ManifestFile& f : manifest.files)
    if (f.name == "photo.jpg" && f.HasTag("clean-end")) jpg = &f;
  ASSERT_NE(nullptr, jpg);
  ASSERT_TRUE(bySector.count(jpg->firstSector));
  _FILE_NODE_ node = bySector[jpg->firstSector];

  wchar_t temp[300] = {0};
  unsigned char buf[1024];
  int len = sizeof(buf);
  int lastProgress = -1;
  auto cb = [](void* param, int progress, int) -> int {
    *static_cast<int*>(param) = progress;
    return 0;
  };
  ASSERT_EQ(0, engine.PreView(&node, temp, buf, len, cb, &lastProgress));
  EXPECT_EQ(0, len);
  EXPECT_EQ(100, lastProgress);
  std::string path = WideToUtf8(temp);
  EXPECT_EQ(GetScanLogDir() + "tmp.jpg", path);
  std::vector<unsigned char> data = testfiles::ReadAll(path);
  EXPECT_EQ(jpg->sha256, testimg::Sha256Bytes(data.data(), data.size()));
  int code = -1;
  std::string out = testimg::RunCommand("identify " + testimg::ShellQuote(path) + " 2>&1", &code);
  EXPECT_EQ(0, code) << out;
  EXPECT_NE(std::string::npos, out.find("JPEG")) << out;

  // A second, smaller picture of the same kind replaces the first completely.
  const testimg::ManifestFile* exif = nullptr;
  for (const testimg::ManifestFile& f : manifest.files)
    if (f.name == "photo_exif.jpg") exif = &f;
  ASSERT_NE(nullptr, exif);
  const testimg::ManifestFile* large = nullptr;
  for (const testimg::ManifestFile& f : manifest.files)
    if (f.name == "large.jpg" && f.HasTag("clean-end")) large = &f;
  ASSERT_NE(nullptr, large);
  _FILE_NODE_ big = bySector[large->firstSector];
  ASSERT_EQ(0, engine.PreView(&big, temp, buf, len, cb, &lastProgress));
  _FILE_NODE_ second = bySector[exif->firstSector];
  ASSERT_EQ(0, engine.PreView(&second, temp, buf, len, cb, &lastProgress));
  data = testfiles::ReadAll(path);
  EXPECT_EQ(exif->sha256, testimg::Sha256Bytes(data.data(), data.size()));
}

TEST_F(CarveImageTest, PreviewDoesNotWriteThroughPlantedLink) {
  const testimg::ManifestFile* jpg = nullptr;
  for (const testimg::ManifestFile& f : manifest.files)
    if (f.name == "photo.jpg" && f.HasTag("clean-end")) jpg = &f;
  ASSERT_NE(nullptr, jpg);
  std::string victim = supportDir + "/victim.txt";
  ASSERT_TRUE(testfiles::WriteAll(victim, "keep me", 7));
  std::string dir = GetScanLogDir();
  ASSERT_EQ(0, MakeDirectories(dir));
  std::string link = dir + "tmp.jpg";
  unlink(link.c_str());
  ASSERT_EQ(0, symlink(victim.c_str(), link.c_str()));

  _FILE_NODE_ node = bySector[jpg->firstSector];
  wchar_t temp[300] = {0};
  int len = 0;
  ASSERT_EQ(0, engine.PreView(&node, temp, nullptr, len, nullptr, nullptr));
  std::vector<unsigned char> kept = testfiles::ReadAll(victim);
  EXPECT_EQ("keep me", std::string(kept.begin(), kept.end()));
  struct stat st;
  ASSERT_EQ(0, lstat(link.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode)) << "tmp.jpg is still a link";
  EXPECT_EQ(jpg->size, static_cast<u64>(st.st_size));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(CarveImageTest, PreviewOfTextLikeFileFillsTheBuffer) {
  // A PDF is not a picture: its first bytes go into the caller's buffer.
  const testimg::ManifestFile* pdf = nullptr;
  for (const testimg::ManifestFile& f : manifest.files)
    if (f.name == "document.pdf" && f.HasTag("clean-end")) pdf = &f;
  ASSERT_NE(nullptr, pdf);
  ASSERT_TRUE(bySector.count(pdf->firstSector));
  _FILE_NODE_ node = bySector[pdf->firstSector];
  std::vector<unsigned char> buf(1000, 0xAA);
  int len = 700;  // not a whole number of sectors
  wchar_t temp[300] = {0};
  ASSERT_EQ(0, engine.PreView(&node, temp, buf.data(), len, nullptr, nullptr));
  ASSERT_EQ(700, len);
  std::vector<uint8_t> original = testimg::ReadAt(pdf->samplePath, 0, 700);
  EXPECT_EQ(0, std::memcmp(original.data(), buf.data(), 700));
  EXPECT_EQ(0xAA, buf[700]) << "wrote past the room given";
  EXPECT_EQ(0, temp[0]);
}

TEST_F(CarveImageTest, SaveNeverOverwritesAnExistingFile) {
  const testimg::ManifestFile* mid = nullptr;
  for (const testimg::ManifestFile& f : manifest.files)
    if (f.name == "tune.mid") mid = &f;
  ASSERT_NE(nullptr, mid);
  _FILE_NODE_ node = bySector[mid->firstSector];
  std::string dir = testfiles::FreshDir("carve-save");
  std::string target = dir + "/tune.mid";
  std::vector<unsigned char> junk(100000, 'x');
  ASSERT_TRUE(testfiles::WriteAll(target, junk.data(), junk.size()));
  std::wstring wtarget = Utf8ToWide(target);
  struct Calls {
    int n = 0, lastProgress = -1, lastError = -1, lastPercent = -1;
  } calls;
  engine.InitCallBack(nullptr,
                      [](void* p, int progress, int percent, int error, wchar_t*) -> int {
                        Calls* c = static_cast<Calls*>(p);
                        ++c->n;
                        c->lastProgress = progress;
                        c->lastPercent = percent;
                        c->lastError = error;
                        return 0;
                      },
                      &calls, 100);
  ASSERT_EQ(0, engine.SaveFileData(&node, const_cast<wchar_t*>(wtarget.c_str()), 0));
  // The file already there is someone's: it stays, and ours takes the next name.
  EXPECT_EQ(junk.size(), testfiles::ReadAll(target).size());
  EXPECT_EQ(mid->sha256, testimg::Sha256File(dir + "/tune(1).mid"));
  EXPECT_EQ(100, calls.lastProgress);
  EXPECT_EQ(0, calls.lastError);
  EXPECT_EQ(100, calls.lastPercent);

  // A target that cannot be created: the errno comes back and is reported.
  std::string bad = dir + "/no/such/folder/x.mid";
  std::wstring wbad = Utf8ToWide(bad);
  calls = Calls();
  EXPECT_EQ(ENOENT, engine.SaveFileData(&node, const_cast<wchar_t*>(wbad.c_str()), 0));
  EXPECT_EQ(1, calls.n);
  EXPECT_EQ(100, calls.lastProgress);
  EXPECT_EQ(ENOENT, calls.lastError);

  // A zero-length node: an empty file and one final report.
  _FILE_NODE_ empty = node;
  empty.u64FileSize = 0;
  calls = Calls();
  std::wstring wempty = Utf8ToWide(dir + "/empty.mid");
  EXPECT_EQ(0, engine.SaveFileData(&empty, const_cast<wchar_t*>(wempty.c_str()), 0));
  EXPECT_EQ(1, calls.n);
  EXPECT_EQ(0, calls.lastError);
  EXPECT_TRUE(testfiles::ReadAll(dir + "/empty.mid").empty());
  EXPECT_EQ(STATUS_INVALID_PARAMETER, engine.SaveFileData(nullptr, const_cast<wchar_t*>(wtarget.c_str()), 0));
  testimg::RemoveTree(dir);
}

}  // namespace
