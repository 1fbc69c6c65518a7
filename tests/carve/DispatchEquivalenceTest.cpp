// The deep pass's quick per-sector dispatch must give exactly the answers of
// a plain walk: the first-byte rejection and row index against every table
// row in order, the FAT directory precheck against the full validator, and a
// whole deep scan against a sector-by-sector carve that uses none of the
// shortcuts. Sectors: every sector of the sample files and of the test
// images, millions of random ones and random ones dressed with the first
// bytes of real signatures.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "CarveTestUtil.h"
#include "TestImages.h"
#include "carve/FileTypeJudge.h"
#include "carve/formats/FormatKit.h"
#include "scan/ProfessionalRecovery.h"
#include "engine/DiskReader.h"
#include "engine/TextUtil.h"
#include "disk/FatEntry.h"
#include "ntfs/NtfsParse.h"

namespace {

typedef CFileTypeJudge J;
constexpr int kSector = 512;

std::vector<std::string> ListFiles(const std::string& dir, const std::string& suffix) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n[0] == '.' || n == "manifest") continue;
      if (!suffix.empty() && (n.size() < suffix.size() || n.compare(n.size() - suffix.size(), suffix.size(), suffix)))
        continue;
      out.push_back(dir + "/" + n);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Compares the quick answers with the plain ones for one sector and keeps count.
struct Checker {
  u64 nSectors = 0;
  u64 nMismatches = 0;
  u64 nFdtMisses = 0;
  u64 nPassedFilter = 0;
  u64 nFdtSectors = 0;
  std::set<int> typesSeen;
  std::string firstMismatch;

  void Check(const CARVE_CONTEXT& at, unsigned char* s, u64 where, const std::string& origin) {
    ++nSectors;
    int rowFast = -7, rowPlain = -7;
    CARVE_CONTEXT fastCtx = at, plainCtx = at;
    const int fast = J::DetectFileType(fastCtx, s, kSector, &rowFast);
    const int plain = J::DetectFileTypeAllRows(plainCtx, s, kSector, &rowPlain);
    if (J::MayStartFile(s, kSector)) ++nPassedFilter;
    if (fast != plain || rowFast != rowPlain || (!J::MayStartFile(s, kSector) && plain != TYPE_NONE)) {
      if (nMismatches++ == 0)
        firstMismatch = origin + " sector " + std::to_string(where) + ": fast " + std::to_string(fast) + " row " +
                        std::to_string(rowFast) + ", plain " + std::to_string(plain) + " row " +
                        std::to_string(rowPlain);
    }
    if (plain != TYPE_NONE) typesSeen.insert(plain);
    if (IsFatFDTRecord(s, kSector)) {
      ++nFdtSectors;
      if (!J::MayBeFatDirSector(s, kSector)) {
        if (nFdtMisses++ == 0) firstMismatch = origin + " sector " + std::to_string(where) + ": FAT directory sector refused";
      }
    }
  }
};

// Detectors that read further sectors (transport stream, compound and
// package classifiers) read them from the reader, as in a scan.
CARVE_CONTEXT ContextAt(CDiskReader* reader, u64 sector, bool tsCheck, bool mtsHead) {
  CARVE_CONTEXT ctx = J::MakeContext(reader, kSector, sector);
  ctx.bCheckTsRanges = tsCheck ? 1 : 0;
  ctx.bMtsFileHead = mtsHead ? 1 : 0;
  return ctx;
}

void CheckFileSectors(Checker& c, const std::string& path) {
  std::vector<unsigned char> data = testfiles::ReadAll(path);
  ASSERT_FALSE(data.empty()) << path;
  data.resize((data.size() + kSector - 1) / kSector * kSector, 0);
  CDiskReader reader;
  ASSERT_EQ(0, reader.Init(path.c_str(), data.size() / kSector));
  for (u64 s = 0; s < data.size() / kSector; ++s) {
    // Alternate the carried-over flags so both settings are compared.
    c.Check(ContextAt(&reader, s, s % 2 == 0, s % 3 == 0), data.data() + s * kSector, s, path);
  }
}

class DispatchEquivalence : public ::testing::Test {
 protected:
  void SetUp() override { J::InitCallBack(nullptr, nullptr, nullptr, 90); }
};

TEST_F(DispatchEquivalence, RealSectorsGetTheSameTypeAsAPlainWalk) {
  Checker c;
  std::vector<std::string> samples = ListFiles(testimg::ImagesDir() + "/samples", "");
  for (const std::string& p : ListFiles(testimg::ImagesDir() + "/modern", "")) samples.push_back(p);
  const std::vector<std::string> images = ListFiles(testimg::ImagesDir(), ".img");
  ASSERT_GE(samples.size(), 20u) << "no sample files in " << testimg::ImagesDir();
  ASSERT_GE(images.size(), 5u);
  for (const std::string& p : samples) CheckFileSectors(c, p);
  const std::set<int> typesOfSamples = c.typesSeen;
  for (const std::string& p : images) CheckFileSectors(c, p);

  EXPECT_EQ(0u, c.nMismatches) << c.firstMismatch;
  EXPECT_EQ(0u, c.nFdtMisses) << c.firstMismatch;
  // The comparison saw real positives, not only empty answers: most sample
  // formats, and the FAT directories of the images.
  EXPECT_GE(typesOfSamples.size(), 20u);
  EXPECT_GT(c.nFdtSectors, 50u);
  EXPECT_GT(c.nSectors, 500000u);
}

TEST_F(DispatchEquivalence, RandomAndSignatureLikeSectorsGetTheSameType) {
  // Starts of real files: each sample's first 64 bytes.
  std::vector<std::vector<unsigned char>> heads;
  std::vector<std::string> starts = ListFiles(testimg::ImagesDir() + "/samples", "");
  for (const std::string& p : ListFiles(testimg::ImagesDir() + "/modern", "")) starts.push_back(p);
  for (const std::string& p : starts) {
    std::vector<unsigned char> d = testfiles::ReadAll(p);
    if (d.size() >= 64) heads.emplace_back(d.begin(), d.begin() + 64);
  }
  ASSERT_GE(heads.size(), 20u);
  // Every byte some signature starts with (from the formats' own
  // declarations), and the first bytes of FAT entries.
  std::vector<u8> firstBytes = {0xE5, 0x41, 0x2E};
  for (int b = 0; b < 256; ++b)
    if (J::QuickTables().bFirstByte[b]) firstBytes.push_back(static_cast<u8>(b));
  ASSERT_GE(firstBytes.size(), 25u);

  const CFileTypeJudge::QUICK_TABLES& probes = J::QuickTables();
  ASSERT_GE(probes.nProbes, 3);
  u64 pastZero = 0;
  Checker c;
  std::mt19937_64 rng(20240607);
  std::vector<unsigned char> s(kSector);
  const u64 kRounds = 3000000;
  u64 dressed = 0;
  for (u64 n = 0; n < kRounds; ++n) {
    for (int i = 0; i < kSector; i += 8) {
      u64 v = rng();
      memcpy(&s[i], &v, 8);
    }
    switch (n % 7) {
      case 0: case 1: case 2:  // plain noise
        break;
      case 5: {  // a signature past byte 0 over noise, whatever the first byte; brands after a file-type box
        const CFileTypeJudge::PROBE& pr = probes.probes[rng() % probes.nProbes];
        memcpy(&s[pr.nOffset], pr.pBytes, pr.nLen);
        static const char* const kBrands[] = {"qt  ", "3gp4", "isom", "mp42"};
        if (memcmp(pr.pBytes, "ftyp", 4) == 0 && pr.nOffset == 4) memcpy(&s[8], kBrands[rng() % 4], 4);
        if (rng() % 2) memset(&s[0], 0, 4);  // a zero timestamp before a camcorder packet
        if (rng() % 8 == 0) s[0] = static_cast<u8>(n / 7);  // every first byte in turn
        ++dressed;
        ++pastZero;
        break;
      }
      case 3: {  // a real start cut after 1 to 64 bytes, then noise
        const std::vector<unsigned char>& h = heads[rng() % heads.size()];
        memcpy(s.data(), h.data(), 1 + rng() % 64);
        ++dressed;
        break;
      }
      case 4: {  // a real start with one byte changed
        const std::vector<unsigned char>& h = heads[rng() % heads.size()];
        memcpy(s.data(), h.data(), 64);
        s[rng() % 64] ^= static_cast<u8>(1u << (rng() % 8));
        ++dressed;
        break;
      }
      default:  // a byte some detector starts with, and FAT-entry-like fields
        s[0] = firstBytes[rng() % firstBytes.size()];
        if (rng() % 2) s[11] = static_cast<u8>(rng() % 0x40);
        if (rng() % 2) memset(&s[1], 0, 2 + rng() % 14);
        break;
    }
    c.Check(ContextAt(nullptr, n, n % 2 == 0, n % 5 == 0), s.data(), n, "random");
  }
  EXPECT_EQ(0u, c.nMismatches) << c.firstMismatch;
  EXPECT_EQ(0u, c.nFdtMisses) << c.firstMismatch;
  EXPECT_EQ(kRounds, c.nSectors);
  EXPECT_GT(dressed, kRounds / 4);
  EXPECT_GT(pastZero, kRounds / 8);
  // Dressed sectors reach the detectors and some are recognised.
  EXPECT_GT(c.nPassedFilter, kRounds / 4);
  EXPECT_GE(c.typesSeen.size(), 15u);
}

TEST_F(DispatchEquivalence, QuickTestsTurnAwayOnlyWhatTheFullTestsRefuse) {
  // Hand-made sectors at the edges of the prechecks.
  CARVE_CONTEXT ctx = J::MakeContext(nullptr, kSector, 0);
  std::vector<unsigned char> s(kSector, 0);
  // A zero sector starts nothing and is no directory; nor does an erased
  // (all FF) or all-space one.
  EXPECT_FALSE(J::MayStartFile(s.data(), kSector));
  EXPECT_FALSE(J::MayBeFatDirSector(s.data(), kSector));
  std::vector<unsigned char> erased(kSector, 0xFF);
  EXPECT_FALSE(J::MayStartFile(erased.data(), kSector));
  // 00 00 01 BA ... 00 00 01 BB: an MPEG program stream passes the filter.
  const u8 mpeg[] = {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 1, 0x89, 0xC3, 0xF8, 0, 0, 1, 0xBB};
  memcpy(s.data(), mpeg, sizeof(mpeg));
  EXPECT_TRUE(J::MayStartFile(s.data(), kSector));
  EXPECT_EQ(TYPE_MPEG, J::DetectFileType(ctx, s.data(), kSector));
  // A file-type box at 4 passes whatever byte 0 is.
  std::fill(s.begin(), s.end(), 0xAB);
  memcpy(&s[4], "ftypisom", 8);
  EXPECT_TRUE(J::MayStartFile(s.data(), kSector));
  EXPECT_EQ(TYPE_MP4, J::DetectFileType(ctx, s.data(), kSector));
  // A short buffer never reads past its end: "ftyp" at 4 needs 8 bytes.
  EXPECT_FALSE(J::MayStartFile(s.data(), 7));

  // A FAT short entry: archived file, valid name, dates in range.
  std::fill(s.begin(), s.end(), 0);
  const char name[] = "PHOTO   JPG";
  memcpy(s.data(), name, 11);
  s[11] = 0x20;
  for (int off : {14, 16, 18, 22, 24}) {
    s[off] = 0x21;  // 2020-01-01 style date words
    s[off + 1] = 0x50;
  }
  s[26] = 3;
  s[28] = 0x10;
  ASSERT_TRUE(IsFatFDTRecord(s.data(), kSector));
  EXPECT_TRUE(J::MayBeFatDirSector(s.data(), kSector));
  // Each single field the precheck looks at, broken, is refused by both.
  struct EDIT {
    int off;
    u8 value;
  } edits[] = {{11, 0x00}, {11, 0x48}, {11, 0x2C}, {11, 0x11}, {0, 'a'}, {5, '.'}, {3, 0x1F}, {10, '*'}};
  for (const EDIT& e : edits) {
    std::vector<unsigned char> t = s;
    t[e.off] = e.value;
    EXPECT_FALSE(IsFatFDTRecord(t.data(), kSector)) << e.off << "=" << int(e.value);
    EXPECT_FALSE(J::MayBeFatDirSector(t.data(), kSector)) << e.off << "=" << int(e.value);
  }
  // No size but a first cluster: refused by both.
  std::vector<unsigned char> t = s;
  t[28] = 0;
  EXPECT_FALSE(IsFatFDTRecord(t.data(), kSector));
  EXPECT_FALSE(J::MayBeFatDirSector(t.data(), kSector));
}

TEST_F(DispatchEquivalence, TheQuickTablesLetEveryDeclaredSignatureThrough) {
  // Each signature a format declares, alone at its offset on zeros and on
  // noise, in a full sector and in a buffer just long enough for it.
  std::mt19937_64 rng(3);
  int checked = 0;
  for (int row = 0; row < J::EXTEND_NAME_ROW_COUNT - 1; ++row) {
    const CARVE_FORMAT& f = *J::szExtendNameAndType[row].pFormat;
    for (int k = 0; k < f.nSignatures; ++k) {
      const CARVE_SIGNATURE& sig = f.pSignatures[k];
      for (int noise = 0; noise < 2; ++noise) {
        std::vector<unsigned char> s(kSector, 0);
        if (noise)
          for (auto& b : s) b = static_cast<unsigned char>(rng());
        if (sig.nKind == SIG_TEXT)
          std::fill(s.begin() + sig.nOffset, s.begin() + sig.nOffset + sig.nLen, 'a');
        else
          memcpy(&s[sig.nOffset], sig.pBytes, sig.nLen);
        EXPECT_TRUE(J::MayStartFile(s.data(), kSector)) << f.szName << " signature " << k;
        EXPECT_TRUE(J::MayStartFile(s.data(), sig.nOffset + sig.nLen)) << f.szName << " signature " << k;
        ++checked;
      }
    }
  }
  EXPECT_GE(checked, 2 * 45);
}

// The marker searches of the size rules: first and last occurrence, against
// a comparison at every offset, on noise with planted and cut markers.
TEST_F(DispatchEquivalence, MarkerSearchesFindWhatAComparisonAtEveryOffsetFinds) {
  using carve_detail::FindBytes;
  using carve_detail::FindLastBytes;
  using carve_detail::npos;
  const std::vector<std::string> markers = {std::string("\xFF\xD9", 2), "TAG", "%%EOF", std::string("PK\x05\x06", 4),
                                            "freeIsoMedia File Produced", std::string("\xFF", 1)};
  std::mt19937_64 rng(5);
  u64 found = 0;
  for (int round = 0; round < 4000; ++round) {
    const std::string& m = markers[round % markers.size()];
    std::vector<u8> buf(1 + rng() % 700);
    // Few distinct byte values, so partial matches are common.
    for (u8& b : buf) b = static_cast<u8>("\xFF\xD9TAG%EOFPK\x05\x06fr"[rng() % 14]);
    for (int k = static_cast<int>(rng() % 3); k > 0 && buf.size() >= m.size(); --k)
      memcpy(&buf[rng() % (buf.size() - m.size() + 1)], m.data(), m.size());
    const size_t from = rng() % (buf.size() + 2);
    size_t first = npos, lastHit = npos;
    for (size_t i = 0; i + m.size() <= buf.size(); ++i)
      if (memcmp(&buf[i], m.data(), m.size()) == 0) {
        if (i >= from && first == npos) first = i;
        lastHit = i;
      }
    ASSERT_EQ(first, FindBytes(buf.data(), buf.size(), from, m.data(), m.size())) << round;
    ASSERT_EQ(lastHit, FindLastBytes(buf.data(), buf.size(), m.data(), m.size())) << round;
    if (first != npos) ++found;
  }
  EXPECT_GT(found, 1000u);
}

// ---- A whole deep scan against a plain sector-by-sector carve ----

struct CARVED {
  u64 sector;
  std::string name;
  u64 size;
  bool operator<(const CARVED& o) const { return std::tie(sector, name, size) < std::tie(o.sector, o.name, o.size); }
  bool operator==(const CARVED& o) const { return sector == o.sector && name == o.name && size == o.size; }
};

// Every sector in order; the file-system tests with their full validators
// and no gate; carving detection through every table row; then the carving
// steps of a candidate, and the skip.
std::vector<CARVED> PlainCarve(const std::string& path) {
  std::vector<CARVED> out;
  CDiskReader reader;
  std::vector<unsigned char> data = testfiles::ReadAll(path);
  const u64 count = data.size() / kSector;
  if (reader.Init(path.c_str(), count) != 0) return out;
  CARVE_PASS pass;
  std::vector<unsigned char> readAhead(CARVE_CONTEXT::READ_BUF_SIZE);
  for (u64 s = 0; s < count;) {
    unsigned char* sec = data.data() + s * kSector;
    if (IsNtfsFileRecord(sec, 1024) || IsFatFileRecord(sec, kSector) || IsFatFDTRecord(sec, kSector)) {
      ++s;
      continue;
    }
    CARVE_CONTEXT ctx = J::MakeContext(&reader, kSector, s, &pass);
    int row = -1;
    const int type = J::DetectFileTypeAllRows(ctx, sec, kSector, &row);
    pass.bCheckTsRanges = 1;
    pass.bMtsFileHead = 0;
    if (type == TYPE_NONE || !J::szExtendNameAndType[row].pFormat->pSizeRule) {
      ++s;
      continue;
    }
    const int first = J::FindRowByType(type);
    if (type != TYPE_TS) pass.bCheckTsRanges = 0;
    if (type == TYPE_MTS) pass.bMtsFileHead = 1;
    ctx.bCheckTsRanges = pass.bCheckTsRanges;
    ctx.bMtsFileHead = pass.bMtsFileHead;
    ctx.pReadBuf = readAhead.data();
    u64 size = J::szExtendNameAndType[first].pFormat->pSizeRule(ctx, sec, kSector);
    u8 flags = 0;
    if (size != 0) J::CheckIntegrity(ctx, type, size, true, flags);  // a structure's end cuts the length
    if (size == 0) {  // nothing measured: not carved
      ++s;
      continue;
    }
    out.push_back({s, std::to_string(s) + "." + J::szExtendNameAndType[first].szExtendName, size});
    s += J::GetSkipSectors(type, size, kSector);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<CARVED> DeepScanCarve(const std::string& path) {
  std::vector<CARVED> out;
  CProfessionalRecovery scan;
  std::wstring wpath = Utf8ToWide(path);
  EXPECT_EQ(0, scan.Init(const_cast<wchar_t*>(wpath.c_str()), L'T'));
  EXPECT_EQ(nullptr, scan.GetFastEngine()) << path << ": expected an image without a file system";
  scan.SetNotLoadLogFile();
  EXPECT_EQ(0, scan.ScanDevice(nullptr));
  FILE_NODE_VECTOR nodes;
  scan.GetChildrenFileNode(nullptr, 0, nodes);
  for (const _FILE_NODE_& n : nodes)
    if (n.nEngineType == ENGINE_FILE_TYPE) out.push_back({n.u64RecordSector, n.szFileName, n.u64FileSize});
  std::sort(out.begin(), out.end());
  return out;
}

// Noise, zero runs, whole sample files and torn starts of them, and a FAT
// directory sector, at sector boundaries.
std::string MakeMixedImage(const std::string& dir) {
  std::vector<std::vector<unsigned char>> files;
  for (const char* dir : {"/samples", "/modern"})
    for (const std::string& p : ListFiles(testimg::ImagesDir() + dir, "")) files.push_back(testfiles::ReadAll(p));
  std::mt19937_64 rng(77);
  std::vector<unsigned char> img;
  auto noise = [&](size_t sectors) {
    for (size_t i = 0; i < sectors * kSector; i += 8) {
      u64 v = rng();
      img.insert(img.end(), reinterpret_cast<unsigned char*>(&v), reinterpret_cast<unsigned char*>(&v) + 8);
    }
  };
  auto pad = [&]() { img.resize((img.size() + kSector - 1) / kSector * kSector, 0); };
  for (int round = 0; round < 3; ++round) {
    for (size_t k = 0; k < files.size(); ++k) {
      noise(1 + rng() % 300);
      if (rng() % 4 == 0) img.resize(img.size() + kSector * (1 + rng() % 64), 0);
      const std::vector<unsigned char>& f = files[(k + round * 7) % files.size()];
      size_t take = round == 2 ? std::min<size_t>(f.size(), kSector * (1 + rng() % 3)) : f.size();
      img.insert(img.end(), f.begin(), f.begin() + static_cast<long>(take));
      pad();
    }
  }
  // A FAT directory sector among the noise: the FAT engine gets it, not the carver.
  unsigned char dirSector[kSector] = {0};
  memcpy(dirSector, "PHOTO   JPG", 11);
  dirSector[11] = 0x20;
  for (int off : {14, 16, 18, 22, 24}) {
    dirSector[off] = 0x21;
    dirSector[off + 1] = 0x50;
  }
  dirSector[26] = 3;
  dirSector[28] = 0x10;
  img.insert(img.end(), dirSector, dirSector + kSector);
  noise(2000);
  std::string path = dir + "/mixed.img";
  EXPECT_TRUE(testfiles::WriteAll(path, img.data(), img.size()));
  return path;
}

TEST_F(DispatchEquivalence, DeepScanCarvesWhatAPlainWalkCarves) {
  std::string dir = carvetest::UseFreshSupportDir("dispatch-equivalence");
  std::vector<std::string> images = {testimg::ImagePath("carve.img"), MakeMixedImage(dir)};
  for (const std::string& path : images) {
    std::vector<CARVED> fast = DeepScanCarve(path);
    std::vector<CARVED> plain = PlainCarve(path);
    EXPECT_GE(plain.size(), 20u) << path;
    ASSERT_EQ(plain.size(), fast.size()) << path;
    for (size_t i = 0; i < plain.size(); ++i)
      EXPECT_TRUE(plain[i] == fast[i]) << path << ": plain " << plain[i].name << " " << plain[i].size << ", scan "
                                       << fast[i].name << " " << fast[i].size;
  }
  testimg::RemoveTree(dir);
}

}  // namespace
