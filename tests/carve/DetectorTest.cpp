// Detectors on real first sectors (the builder's samples as placed in
// carve.img) and on the crafted headers that must be turned away.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "CarveTestUtil.h"
#include "TestImages.h"
#include "carve/FileTypeJudge.h"

namespace {

typedef CFileTypeJudge J;
using carvetest::Sector;

struct SampleCase {
  const char* name;
  J::DETECTOR detector;
  int type;
  const char* ext;  // for the extension check
};

const SampleCase kSamples[] = {
    {"archive.7z", carvefmt::Is7zType, TYPE_7Z, "7z"},          {"archive.cab", carvefmt::IsCabType, TYPE_CAB, "cab"},
    {"archive.zip", carvefmt::IsZipType, TYPE_ZIP, "zip"},       {"clip.3gp", carvefmt::Is3pgType, TYPE_3GP, "3gp"},
    {"clip.avi", carvefmt::IsAviType, TYPE_AVI, "avi"},          {"clip.flv", carvefmt::IsFlvType, TYPE_FLV, "flv"},
    {"clip.mkv", carvefmt::IsMkvType, TYPE_MKV, "mkv"},          {"clip.mov", carvefmt::IsMovType, TYPE_MOV, "mov"},
    {"clip.mp4", carvefmt::IsMp4Type, TYPE_MP4, "mp4"},          {"clip.mpg", carvefmt::IsMpgType, TYPE_MPEG, "mpg"},
    {"clip.ts", carvefmt::IsTsType, TYPE_TS, "ts"},              {"clip.wmv", carvefmt::IsAsfType, TYPE_WMV, "wmv"},
    {"data.sqlite", carvefmt::IsSqlType, TYPE_DB, "db"},         {"document.doc", carvefmt::IsOffice2003Type, TYPE_DOC, "doc"},
    {"document.docx", carvefmt::IsOffice2007Type, TYPE_DOCX, "docx"}, {"document.pdf", carvefmt::IsPdfType, TYPE_PDF, "pdf"},
    {"font.ttf", carvefmt::IsTtfType, TYPE_TTF, "ttf"},          {"icon.ico", carvefmt::IsIcoType, TYPE_ICO, "ico"},
    {"image.bmp", carvefmt::IsBmpType, TYPE_BMP, "bmp"},         {"image.gif", carvefmt::IsGifType, TYPE_GIF, "gif"},
    {"image.png", carvefmt::IsPngType, TYPE_PNG, "png"},         {"image.psd", carvefmt::IsPsdType, TYPE_PSD, "psd"},
    {"image.tif", carvefmt::IsTifType, TYPE_TIF, "tif"},         {"large.jpg", carvefmt::IsJpgType, TYPE_JPG, "jpg"},
    {"photo.jpg", carvefmt::IsJpgType, TYPE_JPG, "jpeg"},        {"photo_exif.jpg", carvefmt::IsJpgType, TYPE_JPG, "jpg"},
    {"notes.txt.gz", carvefmt::IsGzipType, TYPE_GZ, "gz"},       {"sheet.xlsx", carvefmt::IsOffice2007Type, TYPE_XLSX, "xlsx"},
    {"slides.pptx", carvefmt::IsOffice2007Type, TYPE_PPTX, "pptx"}, {"tone.wav", carvefmt::IsWavType, TYPE_WAV, "wav"},
    {"tone_id3v2.mp3", carvefmt::IsMp3Type, TYPE_MP3, "mp3"},    {"tune.mid", carvefmt::IsMidType, TYPE_MID, "mid"},
};

class SampleSectors : public ::testing::Test {
 protected:
  void SetUp() override {
    image = testimg::ImagePath("carve.img");
    if (access(image.c_str(), R_OK) != 0) GTEST_SKIP() << "carve.img not built";
    manifest = testimg::LoadManifest("carve.img");
    ASSERT_EQ(0, reader.Init(image.c_str(), ImageSectors()));
  }
  u64 ImageSectors() {
    FILE* f = std::fopen(image.c_str(), "rb");
    std::fseek(f, 0, SEEK_END);
    long size = std::ftell(f);
    std::fclose(f);
    return static_cast<u64>(size) / 512;
  }
  // The clean copy of a sample: its sector and first 512 bytes.
  bool FirstSector(const std::string& name, u64& sector, std::vector<unsigned char>& out) {
    for (const testimg::ManifestFile& f : manifest.files)
      if (f.name == name && f.HasTag("clean-end")) {
        sector = static_cast<u64>(f.firstSector);
        out = testimg::ReadAt(image, sector * 512, 512);
        return out.size() == 512;
      }
    return false;
  }
  std::string image;
  testimg::Manifest manifest;
  CDiskReader reader;
};

TEST_F(SampleSectors, EachDetectorAcceptsItsRealSampleAndDetectionAgrees) {
  for (const SampleCase& c : kSamples) {
    SCOPED_TRACE(c.name);
    u64 sector = 0;
    std::vector<unsigned char> buf;
    ASSERT_TRUE(FirstSector(c.name, sector, buf));
    carvetest::TestContext ctx(&reader, sector);
    EXPECT_EQ(c.type, c.detector(ctx, buf.data(), 512));
    int row = -1;
    EXPECT_EQ(c.type, J::DetectFileType(ctx, buf.data(), 512, &row));
    EXPECT_EQ(c.detector, J::szExtendNameAndType[row].pFormat->pDetector);
    EXPECT_EQ(c.type, J::DetectFileTypeAllRows(ctx, buf.data(), 512));
    EXPECT_EQ(0, J::IsFileSystemSector(buf.data(), 512)) << "a file's first sector taken for metadata";
    // The health test of the file-system engines.
    std::string ext = c.ext;
    EXPECT_EQ(1, J::IsFileTypeMatching(buf.data(), 512, &ext[0], &reader, 512, sector));
  }
}

TEST_F(SampleSectors, ExtensionCheckTellsDocumentKindsApart) {
  struct Check {
    const char* sample;
    const char* ext;
    int expected;
  } checks[] = {
      {"document.doc", "doc", 1},   {"document.doc", "xls", 0},   {"document.doc", "ppt", 0},
      {"document.doc", "ole", 0},   {"document.doc", "fla", 1},   {"document.docx", "docx", 1},
      {"document.docx", "xlsx", 0}, {"document.docx", "pptx", 0}, {"document.docx", "zip", 1},
      {"document.docx", "mso07", 0}, {"sheet.xlsx", "xlsx", 1},   {"sheet.xlsx", "docx", 0},
      {"slides.pptx", "pptx", 1},   {"slides.pptx", "xlsx", 0},   {"archive.zip", "docx", 0},
      {"archive.zip", "zip", 1},    {"photo.jpg", "JPG", 1},      {"photo.jpg", "png", 0},
      {"image.png", "png", 1},      {"image.png", "jpg", 0},      {"document.pdf", "pdf", 1},
      {"document.pdf", "doc", 0},   {"document.pdf", "txt", 1},   {"image.gif", "unknownext", 1},
      {"clip.ts", "ts", 1},
  };
  for (const Check& c : checks) {
    SCOPED_TRACE(std::string(c.sample) + " as ." + c.ext);
    u64 sector = 0;
    std::vector<unsigned char> buf;
    ASSERT_TRUE(FirstSector(c.sample, sector, buf));
    std::string ext = c.ext;
    EXPECT_EQ(c.expected, J::IsFileTypeMatching(buf.data(), 512, &ext[0], &reader, 512, sector));
  }
  std::vector<unsigned char> zeros(512, 0);
  EXPECT_EQ(1, J::IsFileTypeMatching(zeros.data(), 512, nullptr, &reader, 512, 0));
}

TEST_F(SampleSectors, ExtensionCheckLeavesTheCarvingPassAlone) {
  u64 sector = 0;
  std::vector<unsigned char> buf;
  ASSERT_TRUE(FirstSector("clip.ts", sector, buf));
  // A deep pass in the middle of its work: a stream recorded, flags set.
  J::ResetPass();
  J::Pass().tsRanges.push_back({sector - 1, sector + 1});
  J::Pass().bMtsFileHead = 1;
  std::string ext = "ts";
  EXPECT_EQ(1, J::IsFileTypeMatching(buf.data(), 512, &ext[0], &reader, 512, sector))
      << "the pass's recorded stream is not the check's business";
  EXPECT_EQ(1u, J::Pass().tsRanges.size());
  EXPECT_EQ(1, J::Pass().bCheckTsRanges);
  EXPECT_EQ(1, J::Pass().bMtsFileHead);
  J::ResetPass();
}

TEST_F(SampleSectors, ShortBuffersAreTurnedAway) {
  // Each sample's own bytes, cut one byte below its detector's minimum.
  struct Cut {
    const char* sample;
    J::DETECTOR detector;
    int minimum;
  } cuts[] = {
      {"image.png", carvefmt::IsPngType, 8},     {"image.bmp", carvefmt::IsBmpType, 40},    {"photo.jpg", carvefmt::IsJpgType, 16},
      {"clip.mp4", carvefmt::IsMp4Type, 32},     {"image.gif", carvefmt::IsGifType, 8},     {"tune.mid", carvefmt::IsMidType, 18},
      {"archive.zip", carvefmt::IsZipType, 48},  {"archive.cab", carvefmt::IsCabType, 36},  {"clip.ts", carvefmt::IsTsType, 188},
      {"icon.ico", carvefmt::IsIcoType, 16},     {"font.ttf", carvefmt::IsTtfType, 16},     {"clip.wmv", carvefmt::IsAsfType, 24},
  };
  for (const Cut& c : cuts) {
    SCOPED_TRACE(c.sample);
    u64 sector = 0;
    std::vector<unsigned char> buf;
    ASSERT_TRUE(FirstSector(c.sample, sector, buf));
    carvetest::TestContext ctx(&reader, sector);
    std::vector<unsigned char> cut(buf.begin(), buf.begin() + c.minimum - 1);
    EXPECT_EQ(TYPE_NONE, c.detector(ctx, cut.data(), static_cast<int>(cut.size())));
  }
  carvetest::TestContext ctx(&reader);
  for (int row = 0; row < J::EXTEND_NAME_ROW_COUNT - 1; ++row) {
    EXPECT_EQ(TYPE_NONE, J::szExtendNameAndType[row].pFormat->pDetector(ctx, nullptr, 512)) << row;
    unsigned char one = 0;
    EXPECT_EQ(TYPE_NONE, J::szExtendNameAndType[row].pFormat->pDetector(ctx, &one, -5)) << row;
  }
}

TEST_F(SampleSectors, TransportStreamContinuationAndRecordedRangesAreNotNewStreams) {
  u64 sector = 0;
  std::vector<unsigned char> buf;
  ASSERT_TRUE(FirstSector("clip.ts", sector, buf));
  carvetest::TestContext ctx(&reader, sector, 1);
  std::vector<_TS_FILE_RANGE_> ranges;
  ctx.pTsRanges = &ranges;
  EXPECT_EQ(TYPE_TS, carvefmt::IsTsType(ctx, buf.data(), 512));  // the sector before it is zero
  ranges.push_back({sector - 3, sector});
  EXPECT_EQ(TYPE_NONE, carvefmt::IsTsType(ctx, buf.data(), 512));
  ctx.bCheckTsRanges = 0;
  EXPECT_EQ(TYPE_TS, carvefmt::IsTsType(ctx, buf.data(), 512)) << "the range check is off";

  // A stream whose packets run on from the previous sector (47 at 324).
  carvetest::TempImage img("carve-ts", 16);
  for (u64 off = 324; off + 188 <= 16 * 512; off += 188) img.bytes[off] = 0x47, img.bytes[off + 1] = 0x40;
  img.Write();
  CDiskReader r;
  ASSERT_EQ(0, r.Init(img.path.c_str(), img.Sectors()));
  // 324 + 188 = 512: sector 1 starts with a packet.
  carvetest::TestContext at1(&r, 1, 1);
  EXPECT_EQ(TYPE_NONE, carvefmt::IsTsType(at1, img.At(1), 512));
  at1.bCheckTsRanges = 0;
  EXPECT_EQ(TYPE_TS, carvefmt::IsTsType(at1, img.At(1), 512));
}

// ---- Crafted headers ----

TEST(Detectors, NearMissesOfPicturesAndArchivesAreRefused) {
  carvetest::TestContext ctx(nullptr);
  std::vector<unsigned char> s = Sector({0xFF, 0xD8, 0xFF, 0xDB, 0, 0x43, 0});
  EXPECT_EQ(TYPE_NONE, carvefmt::IsJpgType(ctx, s.data(), 512)) << "bare quantisation-table start";
  EXPECT_EQ(TYPE_NONE, J::DetectFileType(ctx, s.data(), 512));
  s = Sector({0xFF, 0xD8, 0xFF, 0xE1, 0, 0x10, 'E', 'x', 'i', 'f'});
  EXPECT_EQ(TYPE_JPG, carvefmt::IsJpgType(ctx, s.data(), 512));
  s = Sector({0xFF, 0xD8, 0xFF, 0xE1, 0, 0x10, 'J', 'F', 'I', 'F'});
  EXPECT_EQ(TYPE_NONE, carvefmt::IsJpgType(ctx, s.data(), 512)) << "APP1 must carry Exif";

  s = Sector({'G', 'I', 'F', '8', '9', 'a', 1, 0});
  EXPECT_EQ(TYPE_GIF, carvefmt::IsGifType(ctx, s.data(), 512));
  s[5] = 'A';
  EXPECT_EQ(TYPE_NONE, carvefmt::IsGifType(ctx, s.data(), 512));
  s[5] = 'a';
  s[4] = 'x';
  EXPECT_EQ(TYPE_NONE, carvefmt::IsGifType(ctx, s.data(), 512));

  s = Sector({0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0x02, 14});
  EXPECT_EQ(TYPE_NONE, carvefmt::IsGzipType(ctx, s.data(), 512)) << "system 14";
  s[9] = 0xFF;
  EXPECT_EQ(TYPE_GZ, carvefmt::IsGzipType(ctx, s.data(), 512));
  s[3] = 0x20;
  EXPECT_EQ(TYPE_NONE, carvefmt::IsGzipType(ctx, s.data(), 512)) << "reserved flag";
  s[3] = 0x08;
  s[8] = 0x01;
  EXPECT_EQ(TYPE_NONE, carvefmt::IsGzipType(ctx, s.data(), 512)) << "extra flags";

  s = Sector({'F', 'W', 'S', 5});
  EXPECT_EQ(TYPE_SWF, carvefmt::IsSwfType(ctx, s.data(), 512));
  s[3] = 6;
  EXPECT_EQ(TYPE_NONE, carvefmt::IsSwfType(ctx, s.data(), 512));
  s = Sector({'C', 'W', 'S', 16});
  EXPECT_EQ(TYPE_NONE, carvefmt::IsSwfType(ctx, s.data(), 512));
  s[3] = 10;
  EXPECT_EQ(TYPE_SWF, carvefmt::IsSwfType(ctx, s.data(), 512));

  s = Sector({'B', 'M', 0x36, 0, 0, 0, 0, 0, 0, 0, 0x36, 0, 0, 0, 40, 0, 0, 0});
  EXPECT_EQ(TYPE_BMP, carvefmt::IsBmpType(ctx, s.data(), 512));
  s[14] = 124;  // a version-5 info header: not the form this detector knows
  EXPECT_EQ(TYPE_NONE, carvefmt::IsBmpType(ctx, s.data(), 512));

  s = Sector({'I', 'D', '3', 4, 0, 0, 0, 0, 0x10, 0x7F});
  EXPECT_EQ(TYPE_MP3, carvefmt::IsMp3Type(ctx, s.data(), 512));
  s[9] = 0x80;
  EXPECT_EQ(TYPE_NONE, carvefmt::IsMp3Type(ctx, s.data(), 512)) << "not a syncsafe size";
  s[9] = 0;
  s[5] = 0x01;
  EXPECT_EQ(TYPE_NONE, carvefmt::IsMp3Type(ctx, s.data(), 512));
}

TEST(Detectors, FileSystemSectors) {
  std::vector<unsigned char> s = Sector({'F', 'I', 'L', 'E', '0'});
  EXPECT_EQ(1, J::IsFileSystemSector(s.data(), 512));
  s = Sector({'I', 'N', 'D', 'X'});
  EXPECT_EQ(1, J::IsFileSystemSector(s.data(), 512));
  s = Sector({'R', 'S', 'T', 'R'});
  EXPECT_EQ(0, J::IsFileSystemSector(s.data(), 512)) << "a restart page names NTFS";
  const unsigned char ntfs[8] = {'N', 0, 'T', 0, 'F', 0, 'S', 0};
  std::memcpy(&s[501], ntfs, 8);
  EXPECT_EQ(1, J::IsFileSystemSector(s.data(), 512));
  s = Sector({'$', 0, 'S', 0, 'T', 0, 'A', 0});
  EXPECT_EQ(1, J::IsFileSystemSector(s.data(), 512));
  for (const char* oem : {"MSDOS5.0", "MSWIN4.1", "NTFS    ", "EXFAT   "}) {
    s = Sector({0xEB, 0x58, 0x90});
    std::memcpy(&s[3], oem, 8);
    EXPECT_EQ(1, J::IsFileSystemSector(s.data(), 512)) << oem;
  }
  s = Sector({0xEB, 0x58, 0x90});
  std::memcpy(&s[3], "mkfs.fat", 8);
  EXPECT_EQ(0, J::IsFileSystemSector(s.data(), 512));
  // A FAT directory sector: one file entry, then the end of the directory.
  s = Sector({'R', 'E', 'A', 'D', 'M', 'E', ' ', ' ', 'T', 'X', 'T', 0x20});
  s[16] = 0x21;  // 2020-01-01 for the three dates
  s[17] = 0x50;
  s[18] = 0x21;
  s[19] = 0x50;
  s[24] = 0x21;
  s[25] = 0x50;
  s[26] = 3;
  s[28] = 100;
  EXPECT_EQ(1, J::IsFileSystemSector(s.data(), 512));
  s[300] = 1;  // a stray byte after the end mark
  EXPECT_EQ(0, J::IsFileSystemSector(s.data(), 512));
  EXPECT_EQ(0, J::IsFileSystemSector(Sector({'F', 'I', 'L', 'E'}).data(), 31));
  EXPECT_EQ(0, J::IsFileSystemSector(nullptr, 512));
}

}  // namespace
