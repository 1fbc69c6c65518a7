// Integrity verdicts on real encoder output: whole files are verified, and a
// file cut short, run on into noise, spliced with noise or with another file,
// or with a flipped byte in its entropy-coded data never is.
#include <gtest/gtest.h>

#include <unistd.h>

#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "TestImages.h"
#include "carve/FileTypeJudge.h"
#include "carve/JpegEntropy.h"
#include "engine/DiskReader.h"
#include "engine/MemDisk.h"

namespace {

using Bytes = std::vector<unsigned char>;

// The verdict CheckContent gives `data` (named by ext) at sector 8 of a
// memory disk, with `len` bytes judged (the whole file when 0).
int Verdict(const Bytes& data, const char* ext, u64 len = 0) {
  CMemDisk disk;
  Bytes image(8 * 512, 0);
  image.insert(image.end(), data.begin(), data.end());
  image.resize(image.size() + 64 * 1024, 0);
  EXPECT_EQ(0, disk.SetContents(image.data(), image.size()));
  CDiskReader reader;
  EXPECT_EQ(0, reader.Init(disk.GetPath().c_str(), disk.GetSectorCount()));
  return CFileTypeJudge::CheckContent(ext, &reader, 512, 8, len ? len : data.size(), nullptr);
}

Bytes Sample(const std::string& name) { return testfiles::ReadAll(testimg::ImagePath("samples/" + name)); }

Bytes Noise(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(rng());
  return b;
}

// Offset of the first byte after the first SOS segment's header.
size_t JpegScanStart(const Bytes& j) {
  for (size_t i = 2; i + 4 < j.size();) {
    const size_t len = static_cast<size_t>(j[i + 2]) << 8 | j[i + 3];
    if (j[i + 1] == 0xDA) return i + 2 + len;
    i += 2 + len;
  }
  return 0;
}

// Offset of the first segment with marker code `code` before the scan (0: none).
size_t JpegSegment(const Bytes& j, unsigned char code) {
  for (size_t i = 2; i + 4 < j.size() && j[i + 1] != 0xDA;) {
    if (j[i + 1] == code) return i;
    i += 2 + (static_cast<size_t>(j[i + 2]) << 8 | j[i + 3]);
  }
  return 0;
}

struct CASE {
  const char* sample;
  const char* ext;
};
// One sample per checker that can verify (ZIP twice: a plain archive and a
// package). WAV and BMP hold raw data a cut cannot be told from: they are
// never verified, only found cut or broken.
const CASE kCases[] = {{"photo.jpg", "jpg"},   {"large.jpg", "jpg"},       {"image.png", "png"},
                       {"image.gif", "gif"},   {"archive.zip", "zip"},     {"document.docx", "docx"},
                       {"document.pdf", "pdf"}, {"clip.mp4", "mp4"},       {"clip.mov", "mov"},
                       {"clip.avi", "avi"},    {"archive.7z", "7z"},       {"image.tif", "tif"},
                       {"tone_id3v1.mp3", "mp3"}};

class Integrity : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(testimg::ImagePath("samples/photo.jpg").c_str(), R_OK) != 0) GTEST_SKIP() << "samples not built";
  }
};

TEST_F(Integrity, WholeFilesAreVerifiedAndCutOrRunOnOnesAreNot) {
  for (const CASE& c : kCases) {
    SCOPED_TRACE(c.sample);
    Bytes whole = Sample(c.sample);
    ASSERT_GT(whole.size(), 1024u);
    EXPECT_EQ(INTEGRITY_VERIFIED, Verdict(whole, c.ext));
    // Cut short, with zeros or with noise where the rest was.
    Bytes cut(whole.begin(), whole.begin() + whole.size() * 2 / 3);
    EXPECT_NE(INTEGRITY_VERIFIED, Verdict(cut, c.ext, whole.size()));
    Bytes cutNoise = cut;
    Bytes noise = Noise(whole.size() - cut.size(), 7);
    cutNoise.insert(cutNoise.end(), noise.begin(), noise.end());
    EXPECT_NE(INTEGRITY_VERIFIED, Verdict(cutNoise, c.ext));
    // Whole, then noise counted as part of it.
    Bytes runOn = whole;
    noise = Noise(4096, 8);
    runOn.insert(runOn.end(), noise.begin(), noise.end());
    EXPECT_NE(INTEGRITY_VERIFIED, Verdict(runOn, c.ext));
  }
}

TEST_F(Integrity, DamageInsideCodedDataIsBroken) {
  // A flipped byte in a JPEG's entropy-coded data.
  Bytes jpg = Sample("large.jpg");
  const size_t scan = JpegScanStart(jpg);
  ASSERT_GT(scan, 0u);
  Bytes flipped = jpg;
  size_t at = scan + (jpg.size() - scan) / 2;
  while (flipped[at] == 0xFF || flipped[at - 1] == 0xFF) ++at;  // stay clear of markers
  flipped[at] ^= 0x5A;
  EXPECT_EQ(INTEGRITY_BROKEN, Verdict(flipped, "jpg"));
  // Noise spliced into the middle of a picture, an archive and a package.
  for (const CASE& c : {CASE{"large.jpg", "jpg"}, CASE{"image.png", "png"}, CASE{"archive.zip", "zip"},
                        CASE{"document.docx", "docx"}}) {
    SCOPED_TRACE(c.sample);
    Bytes spliced = Sample(c.sample);
    Bytes noise = Noise(512, 9);
    std::copy(noise.begin(), noise.end(), spliced.begin() + spliced.size() / 2);
    EXPECT_EQ(INTEGRITY_BROKEN, Verdict(spliced, c.ext));
  }
  // The first half of one picture with the second half of another.
  Bytes other = Sample("photo_exif.jpg");
  Bytes mixed(jpg.begin(), jpg.begin() + jpg.size() / 2);
  mixed.insert(mixed.end(), other.begin() + other.size() / 2, other.end());
  EXPECT_NE(INTEGRITY_VERIFIED, Verdict(mixed, "jpg"));
}

TEST_F(Integrity, ACutPngOrJpegIsPartialAndEndsWhereItsDataDoes) {
  Bytes png = Sample("image.png");
  Bytes cut(png.begin(), png.begin() + png.size() / 2);
  Bytes noise = Noise(png.size(), 10);
  cut.insert(cut.end(), noise.begin(), noise.end());
  CMemDisk disk;
  ASSERT_EQ(0, disk.SetContents(cut.data(), cut.size(), cut.size() + 65536));
  CDiskReader reader;
  ASSERT_EQ(0, reader.Init(disk.GetPath().c_str(), disk.GetSectorCount()));
  CARVE_CONTEXT ctx = CFileTypeJudge::MakeContext(&reader, 512, 0);
  u64 size = cut.size();
  u8 flags = 0;
  EXPECT_EQ(INTEGRITY_PARTIAL, CFileTypeJudge::CheckIntegrity(ctx, TYPE_PNG, size, true, flags));
  // The end of one of the original's chunks, before the cut.
  std::set<u64> chunkEnds;
  for (u64 pos = 8; pos + 8 <= png.size();) {
    pos += 12 + (u64(png[pos]) << 24 | u64(png[pos + 1]) << 16 | u64(png[pos + 2]) << 8 | png[pos + 3]);
    chunkEnds.insert(pos);
  }
  EXPECT_EQ(1u, chunkEnds.count(size)) << size;
  EXPECT_LE(size, png.size() / 2);

  // A JPEG cut short and followed by zeros ends with its data, bounded, not at the 128 MiB cap.
  Bytes jpg = Sample("photo.jpg");
  Bytes half(jpg.begin(), jpg.begin() + jpg.size() / 2);
  half.resize(half.size() + 4 * 1024 * 1024, 0);
  CMemDisk jdisk;
  ASSERT_EQ(0, jdisk.SetContents(half.data(), half.size()));
  CDiskReader jreader;
  ASSERT_EQ(0, jreader.Init(jdisk.GetPath().c_str(), jdisk.GetSectorCount()));
  const CFileTypeJudge::EXTEND_NAME_ROW* row = nullptr;
  for (const auto& r : CFileTypeJudge::szExtendNameAndType)
    if (r.szExtendName && std::string(r.szExtendName) == "jpg" && !row) row = &r;
  ASSERT_TRUE(row && row->pFormat->pSizeRule);
  CARVE_CONTEXT jctx = CFileTypeJudge::MakeContext(&jreader, 512, 0);
  std::vector<unsigned char> readAhead(CARVE_CONTEXT::READ_BUF_SIZE);
  jctx.pReadBuf = readAhead.data();
  u64 jsize = row->pFormat->pSizeRule(jctx, half.data(), 512);
  EXPECT_TRUE(jctx.bLengthIsCap);
  EXPECT_GE(jsize, jpg.size() / 2 / 512 * 512);
  EXPECT_LE(jsize, jpg.size() / 2 + 512);
}

// The JPEG checker takes a whole walk of the exact entropy walker for the
// decoder's verdict. Over every JPEG of the test images (the samples, the
// pictures of bifrag.img in their pieces, the heads of splices.img), whole,
// joined to the wrong second piece, run into another picture's tail, cut,
// or with a header the decoder refuses, the walk calls whole only what the
// decoder decodes whole, and the checker's verdict and end are the decoder's.
TEST_F(Integrity, JpegWalkCallsWholeOnlyWhatTheDecoderDecodesWhole) {
  const CARVE_FORMAT* jpeg = CFileTypeJudge::CheckerOfType(TYPE_JPG);
  ASSERT_TRUE(jpeg && jpeg->pChecker);
  int whole = 0, damaged = 0;
  // expectWhole: real encoder output the walk must take (else it is never used).
  auto check = [&](CDiskReader& reader, u64 sector, u64 len, u64 firstBytes, u64 second, bool expectWhole,
                   const std::string& what) {
    SCOPED_TRACE(what);
    CARVE_CONTEXT w = CFileTypeJudge::MakeContext(&reader, 512, sector);
    w.u64FirstPieceBytes = firstBytes;
    w.u64SecondPieceSector = second;
    CARVE_CONTEXT decoder = w, checker = w;
    const JPEG_WALK walk = CJpegEntropy::Walk(w, len, 0);
    decoder.bStopAtDamage = true;  // the decoder's own verdict, no walk
    const bool decodedWhole = jpeg->pChecker(decoder, len) == VERDICT_WHOLE;
    const bool checkedWhole = jpeg->pChecker(checker, len) == VERDICT_WHOLE;
    if (walk.nOutcome == JPEG_WALK_WHOLE) {
      EXPECT_TRUE(decodedWhole);
    }
    EXPECT_EQ(decodedWhole, checkedWhole);
    if (decodedWhole && checkedWhole) {
      EXPECT_EQ(decoder.u64CheckedEnd, checker.u64CheckedEnd);
    }
    if (expectWhole) {
      EXPECT_EQ(JPEG_WALK_WHOLE, walk.nOutcome);
      whole += walk.nOutcome == JPEG_WALK_WHOLE;
    } else {
      EXPECT_NE(JPEG_WALK_WHOLE, walk.nOutcome);
      EXPECT_FALSE(decodedWhole);
      ++damaged;
    }
  };
  // The samples, whole and with a header the decoder refuses: a component
  // quantized by a table the picture does not hold, a marker code no
  // segment has.
  for (const std::string name : {"samples/photo.jpg", "samples/photo_exif.jpg", "samples/large.jpg",
                                 "modern/dqt-first.jpg"}) {
    const Bytes jpg = testfiles::ReadAll(testimg::ImagePath(name));
    const size_t sof = JpegSegment(jpg, 0xC0);
    ASSERT_TRUE(sof) << name;
    Bytes noTable = jpg;  // table 3: our encoders write 0 and 1
    for (size_t c = 0; c < jpg[sof + 9]; ++c) noTable[sof + 12 + 3 * c] = 3;
    Bytes oddMarker = jpg;
    oddMarker[3] = 0x1F;
    for (const Bytes* b : {&jpg, static_cast<const Bytes*>(&noTable), static_cast<const Bytes*>(&oddMarker)}) {
      CMemDisk disk;
      ASSERT_EQ(0, disk.SetContents(b->data(), b->size(), b->size() + 65536));
      CDiskReader reader;
      ASSERT_EQ(0, reader.Init(disk.GetPath().c_str(), disk.GetSectorCount()));
      check(reader, 0, b->size(), 0, 0, b == &jpg, name);
    }
  }
  // bifrag.img: each picture in its pieces, and joined to the sector after
  // its true second piece. splices.img: each head cut where it ends, and
  // run on into the gap and another picture's tail after it.
  CDiskReader bifrag, splices;
  u64 bifragSectors = 0, splicesSectors = 0;
  ASSERT_EQ(0, bifrag.InitWhole(testimg::ImagePath("bifrag.img").c_str(), &bifragSectors));
  ASSERT_EQ(0, splices.InitWhole(testimg::ImagePath("splices.img").c_str(), &splicesSectors));
  for (const auto& f : testimg::LoadManifest("bifrag.img").files) {
    std::istringstream note(f.note);
    std::string word;
    u64 firstSectors = 0, second = 0;
    note >> word >> firstSectors >> second;
    if (word == "three") continue;
    check(bifrag, f.firstSector, f.size, firstSectors * 512, second, true, f.name);
    if (word == "split")
      check(bifrag, f.firstSector, f.size, firstSectors * 512, second + 1, false, f.name + " wrong piece");
  }
  for (const auto& f : testimg::LoadManifest("splices.img").files) {
    if (f.type != "jpg") continue;
    check(splices, f.firstSector, f.size, 0, 0, false, f.name);
    const u64 runOn = std::min<u64>(f.size + 16384, (splicesSectors - f.firstSector) * 512);
    check(splices, f.firstSector, runOn, 0, 0, false, f.name + " run on");
  }
  EXPECT_GE(whole, 20);
  EXPECT_GE(damaged, 200);
  std::printf("JPEGs the walk verified (the decoder agreeing): %d; damaged variants refused by both: %d\n", whole,
              damaged);
}

}  // namespace
