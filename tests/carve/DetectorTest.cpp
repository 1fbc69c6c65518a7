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

struct SampleCase {
  const char* name;
  J::DETECTOR detector;
  int type;
  const char* ext;  // for the extension check
};

const SampleCase kSamples[] = {
    {"archive.7z", J::Is7zType, TYPE_7Z, "7z"},          {"archive.cab", J::IsCabType, TYPE_CAB, "cab"},
    {"archive.zip", J::IsZipType, TYPE_ZIP, "zip"},       {"clip.3gp", J::Is3pgType, TYPE_3GP, "3gp"},
    {"clip.avi", J::IsAviType, TYPE_AVI, "avi"},          {"clip.flv", J::IsFlvType, TYPE_FLV, "flv"},
    {"clip.mkv", J::IsMkvType, TYPE_MKV, "mkv"},          {"clip.mov", J::IsMovType, TYPE_MOV, "mov"},
    {"clip.mp4", J::IsMp4Type, TYPE_MP4, "mp4"},          {"clip.mpg", J::IsMpgType, TYPE_MPEG, "mpg"},
    {"clip.ts", J::IsTsType, TYPE_TS, "ts"},              {"clip.wmv", J::IsAsfType, TYPE_WMV, "wmv"},
    {"data.sqlite", J::IsSqlType, TYPE_DB, "db"},         {"document.doc", J::IsOffice2003Type, TYPE_DOC, "doc"},
    {"document.docx", J::IsOffice2007Type, TYPE_DOCX, "docx"}, {"document.pdf", J::IsPdfType, TYPE_PDF, "pdf"},
    {"font.ttf", J::IsTtfType, TYPE_TTF, "ttf"},          {"icon.ico", J::IsIcoType, TYPE_ICO, "ico"},
    {"image.bmp", J::IsBmpType, TYPE_BMP, "bmp"},         {"image.gif", J::IsGifType, TYPE_GIF, "gif"},
    {"image.png", J::IsPngType, TYPE_PNG, "png"},         {"image.psd", J::IsPsdType, TYPE_PSD, "psd"},
    {"image.tif", J::IsTifType, TYPE_TIF, "tif"},         {"large.jpg", J::IsJpgType, TYPE_JPG, "jpg"},
    {"photo.jpg", J::IsJpgType, TYPE_JPG, "jpeg"},        {"photo_exif.jpg", J::IsJpgType, TYPE_JPG, "jpg"},
    {"notes.txt.gz", J::IsGzipType, TYPE_GZ, "gz"},       {"sheet.xlsx", J::IsOffice2007Type, TYPE_XLSX, "xlsx"},
    {"slides.pptx", J::IsOffice2007Type, TYPE_PPTX, "pptx"}, {"tone.wav", J::IsWavType, TYPE_WAV, "wav"},
    {"tone_id3v2.mp3", J::IsMp3Type, TYPE_MP3, "mp3"},    {"tune.mid", J::IsMidType, TYPE_MID, "mid"},
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
    carvetest::PointJudgeAt(&reader, sector);
    EXPECT_EQ(c.type, c.detector(buf.data(), 512));
    int row = -1;
    EXPECT_EQ(c.type, J::DetectFileType(buf.data(), 512, &row));
    EXPECT_EQ(c.detector, J::szExtendNameAndType[row].pDetector);
    EXPECT_EQ(c.type, J::DetectFileTypeAllRows(buf.data(), 512));
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

TEST_F(SampleSectors, ExtensionCheckLeavesTheCarvingContextAlone) {
  u64 sector = 0;
  std::vector<unsigned char> buf;
  ASSERT_TRUE(FirstSector("document.doc", sector, buf));
  CDiskReader other;
  carvetest::PointJudgeAt(&other, 777, 1);
  std::string ext = "doc";
  EXPECT_EQ(1, J::IsFileTypeMatching(buf.data(), 512, &ext[0], &reader, 512, sector));
  EXPECT_EQ(777u, J::m_u64StartSector);
  EXPECT_EQ(777u, J::m_u64CurrentSector);
  EXPECT_EQ(&other, J::m_pDiskReader);
  EXPECT_EQ(1, J::m_bIsNeedCheckTsFileRange);
}

TEST_F(SampleSectors, ShortBuffersAreTurnedAway) {
  // Each sample's own bytes, cut one byte below its detector's minimum.
  struct Cut {
    const char* sample;
    J::DETECTOR detector;
    int minimum;
  } cuts[] = {
      {"image.png", J::IsPngType, 8},     {"image.bmp", J::IsBmpType, 40},    {"photo.jpg", J::IsJpgType, 16},
      {"clip.mp4", J::IsMp4Type, 32},     {"image.gif", J::IsGifType, 8},     {"tune.mid", J::IsMidType, 18},
      {"archive.zip", J::IsZipType, 48},  {"archive.cab", J::IsCabType, 36},  {"clip.ts", J::IsTsType, 188},
      {"icon.ico", J::IsIcoType, 16},     {"font.ttf", J::IsTtfType, 16},     {"clip.wmv", J::IsAsfType, 24},
  };
  for (const Cut& c : cuts) {
    SCOPED_TRACE(c.sample);
    u64 sector = 0;
    std::vector<unsigned char> buf;
    ASSERT_TRUE(FirstSector(c.sample, sector, buf));
    carvetest::PointJudgeAt(&reader, sector);
    std::vector<unsigned char> cut(buf.begin(), buf.begin() + c.minimum - 1);
    EXPECT_EQ(TYPE_NONE, c.detector(cut.data(), static_cast<int>(cut.size())));
  }
  for (int row = 0; row < J::EXTEND_NAME_ROW_COUNT - 1; ++row) {
    EXPECT_EQ(TYPE_NONE, J::szExtendNameAndType[row].pDetector(nullptr, 512)) << row;
    unsigned char one = 0;
    EXPECT_EQ(TYPE_NONE, J::szExtendNameAndType[row].pDetector(&one, -5)) << row;
  }
}

TEST_F(SampleSectors, TransportStreamContinuationAndRecordedRangesAreNotNewStreams) {
  u64 sector = 0;
  std::vector<unsigned char> buf;
  ASSERT_TRUE(FirstSector("clip.ts", sector, buf));
  carvetest::PointJudgeAt(&reader, sector, 1);
  J::m_tsFileRangeVec.clear();
  EXPECT_EQ(TYPE_TS, J::IsTsType(buf.data(), 512));  // the sector before it is zero
  J::m_tsFileRangeVec.push_back({sector - 3, sector});
  EXPECT_EQ(TYPE_NONE, J::IsTsType(buf.data(), 512));
  J::m_bIsNeedCheckTsFileRange = 0;
  EXPECT_EQ(TYPE_TS, J::IsTsType(buf.data(), 512)) << "the range check is off";
  J::m_tsFileRangeVec.clear();

  // A stream whose packets run on from the previous sector (47 at 324).
  carvetest::TempImage img("carve-ts", 16);
  for (u64 off = 324; off + 188 <= 16 * 512; off += 188) img.bytes[off] = 0x47, img.bytes[off + 1] = 0x40;
  img.Write();
  CDiskReader r;
  ASSERT_EQ(0, r.Init(img.path.c_str(), img.Sectors()));
  // 324 + 188 = 512: sector 1 starts with a packet.
  carvetest::PointJudgeAt(&r, 1, 1);
  EXPECT_EQ(TYPE_NONE, J::IsTsType(img.At(1), 512));
  carvetest::PointJudgeAt(&r, 1, 0);
  EXPECT_EQ(TYPE_TS, J::IsTsType(img.At(1), 512));
}

// ---- Crafted headers ----

TEST(Detectors, CompoundFilesAreClassifiedAsDocumentsNotFlash) {
  static const unsigned char kWord[16] = {0x06, 0x09, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  static const unsigned char kExcel[16] = {0x20, 0x08, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  static const unsigned char kExcel5[16] = {0x10, 0x08, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  static const unsigned char kPpt[16] = {0x10, 0x8D, 0x81, 0x64, 0x9B, 0x4F, 0xCF, 0x11,
                                         0x86, 0xEA, 0x00, 0xAA, 0x00, 0xB9, 0x29, 0xE8};
  struct Case {
    const char* stream;
    const unsigned char* clsid;
    int type;
    const char* ext;
  } cases[] = {
      {"Contents", kWord, TYPE_DOC, "doc"},          {"Contents", kExcel, TYPE_XLS, "xls"},
      {"Contents", kExcel5, TYPE_XLS, "xls"},        {"Contents", kPpt, TYPE_PPT, "ppt"},
      {"WordDocument", nullptr, TYPE_DOC, "doc"},    {"Workbook", nullptr, TYPE_XLS, "xls"},
      {"workbook", nullptr, TYPE_XLS, "xls"},        {"PowerPoint Document", nullptr, TYPE_PPT, "ppt"},
      {"Contents", nullptr, TYPE_OLE, "ole"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stream);
    carvetest::TempImage img("carve-cf", 12);
    img.Put(2, carvetest::MakeCompoundFile(c.stream, c.clsid, 4));
    img.Write();
    CDiskReader r;
    ASSERT_EQ(0, r.Init(img.path.c_str(), img.Sectors()));
    carvetest::PointJudgeAt(&r, 2);
    int row = -1;
    EXPECT_EQ(c.type, J::DetectFileType(img.At(2), 512, &row));
    EXPECT_STREQ(c.ext, J::szExtendNameAndType[row].szExtendName);
    EXPECT_EQ(TYPE_FLA, J::IsFlaType(img.At(2), 512));
    std::string ext = c.ext;
    EXPECT_EQ(1, J::IsFileTypeMatching(img.At(2), 512, &ext[0], &r, 512, 2));
    std::string fla = "fla";
    EXPECT_EQ(1, J::IsFileTypeMatching(img.At(2), 512, &fla[0], &r, 512, 2));
  }
  // A spreadsheet stream right after the header, and a Word stream there.
  const unsigned char bof[6] = {0x09, 0x08, 0x10, 0x00, 0x00, 0x06};
  carvetest::TempImage img("carve-cf2", 12);
  std::vector<unsigned char> cf = carvetest::MakeCompoundFile("Contents", nullptr, 4);
  std::memcpy(&cf[512], bof, 6);  // compound sector 0 starts with a BOF record
  img.Put(0, cf);
  img.Write();
  CDiskReader r;
  ASSERT_EQ(0, r.Init(img.path.c_str(), img.Sectors()));
  carvetest::PointJudgeAt(&r, 0);
  EXPECT_EQ(TYPE_XLS, J::GetOffice2003Type(img.At(0), 512));
  img.bytes[512] = 0xEC;
  img.bytes[513] = 0xA5;
  img.Write();
  EXPECT_EQ(TYPE_DOC, J::GetOffice2003Type(img.At(0), 512));
  // Without a reader nothing further can be read: an unclassified compound file.
  carvetest::PointJudgeAt(nullptr, 0);
  EXPECT_EQ(TYPE_OLE, J::IsOffice2003Type(img.At(0), 512));
}

std::vector<unsigned char> PeSector(u32 headerOffset, u16 characteristics) {
  std::vector<unsigned char> s(512, 0);
  s[0] = 'M';
  s[1] = 'Z';
  for (int i = 0; i < 4; ++i) s[60 + i] = static_cast<unsigned char>(headerOffset >> (8 * i));
  if (static_cast<u64>(headerOffset) + 24 <= 512) {
    std::memcpy(&s[headerOffset], "PE\0\0", 4);
    s[headerOffset + 22] = static_cast<unsigned char>(characteristics);
    s[headerOffset + 23] = static_cast<unsigned char>(characteristics >> 8);
  }
  return s;
}

TEST(Detectors, ProgramImagesAreTypedByTheirCharacteristics) {
  EXPECT_EQ(TYPE_EXE, J::IsPeType(PeSector(0x80, 0x0102).data(), 512));
  EXPECT_EQ(TYPE_DLL, J::IsPeType(PeSector(0x80, 0x2102).data(), 512));
  EXPECT_EQ(TYPE_SYS, J::IsPeType(PeSector(0x80, 0x1102).data(), 512));
  EXPECT_EQ(TYPE_SYS, J::IsPeType(PeSector(488, 0x3002).data(), 512));
  EXPECT_EQ(TYPE_NONE, J::IsPeType(PeSector(0x80, 0x2100).data(), 512)) << "not an executable image";
  std::vector<unsigned char> far = PeSector(489, 0x0002);
  EXPECT_EQ(TYPE_NONE, J::IsPeType(far.data(), 512));
  std::vector<unsigned char> huge = PeSector(0xFFFFFFF0u, 0x0002);
  EXPECT_EQ(TYPE_NONE, J::IsPeType(huge.data(), 512));
  EXPECT_EQ(TYPE_NONE, J::IsPeType(PeSector(0x80, 0x0102).data(), 511));
  int row = -1;
  EXPECT_EQ(TYPE_DLL, J::DetectFileType(PeSector(0x80, 0x2102).data(), 512, &row));
  EXPECT_EQ(nullptr, J::szExtendNameAndType[row].pSizeRule);
  std::string dll = "dll", exe = "exe";
  EXPECT_EQ(1, J::IsFileTypeMatching(PeSector(0x80, 0x2102).data(), 512, &dll[0], nullptr, 512, 0));
  EXPECT_EQ(0, J::IsFileTypeMatching(PeSector(0x80, 0x2102).data(), 512, &exe[0], nullptr, 512, 0));
}

std::vector<unsigned char> Sector(std::initializer_list<unsigned char> head) {
  std::vector<unsigned char> s(512, 0);
  std::copy(head.begin(), head.end(), s.begin());
  return s;
}

TEST(Detectors, SpecNegativesOfPicturesAndArchives) {
  std::vector<unsigned char> s = Sector({0xFF, 0xD8, 0xFF, 0xDB, 0, 0x43, 0});
  EXPECT_EQ(TYPE_NONE, J::IsJpgType(s.data(), 512)) << "bare quantisation-table start";
  EXPECT_EQ(TYPE_NONE, J::DetectFileType(s.data(), 512));
  s = Sector({0xFF, 0xD8, 0xFF, 0xE1, 0, 0x10, 'E', 'x', 'i', 'f'});
  EXPECT_EQ(TYPE_JPG, J::IsJpgType(s.data(), 512));
  s = Sector({0xFF, 0xD8, 0xFF, 0xE1, 0, 0x10, 'J', 'F', 'I', 'F'});
  EXPECT_EQ(TYPE_NONE, J::IsJpgType(s.data(), 512)) << "APP1 must carry Exif";

  s = Sector({'G', 'I', 'F', '8', '9', 'a', 1, 0});
  EXPECT_EQ(TYPE_GIF, J::IsGifType(s.data(), 512));
  s[5] = 'A';
  EXPECT_EQ(TYPE_NONE, J::IsGifType(s.data(), 512));
  s[5] = 'a';
  s[4] = 'x';
  EXPECT_EQ(TYPE_NONE, J::IsGifType(s.data(), 512));

  s = Sector({0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0x02, 14});
  EXPECT_EQ(TYPE_NONE, J::IsGzipType(s.data(), 512)) << "system 14";
  s[9] = 0xFF;
  EXPECT_EQ(TYPE_GZ, J::IsGzipType(s.data(), 512));
  s[3] = 0x01;
  EXPECT_EQ(TYPE_NONE, J::IsGzipType(s.data(), 512)) << "flags";
  s[3] = 0x08;
  s[8] = 0x00;
  EXPECT_EQ(TYPE_NONE, J::IsGzipType(s.data(), 512)) << "extra flags";

  s = Sector({'F', 'W', 'S', 5});
  EXPECT_EQ(TYPE_SWF, J::IsSwfType(s.data(), 512));
  s[3] = 6;
  EXPECT_EQ(TYPE_NONE, J::IsSwfType(s.data(), 512));
  s = Sector({'C', 'W', 'S', 16});
  EXPECT_EQ(TYPE_NONE, J::IsSwfType(s.data(), 512));
  s[3] = 10;
  EXPECT_EQ(TYPE_SWF, J::IsSwfType(s.data(), 512));

  s = Sector({'B', 'M', 0x36, 0, 0, 0, 0, 0, 0, 0, 0x36, 0, 0, 0, 40, 0, 0, 0});
  EXPECT_EQ(TYPE_BMP, J::IsBmpType(s.data(), 512));
  s[14] = 124;  // a version-5 info header: not the form this detector knows
  EXPECT_EQ(TYPE_NONE, J::IsBmpType(s.data(), 512));

  s = Sector({'I', 'D', '3', 4, 0, 0, 0, 0, 0x10, 0x7F});
  EXPECT_EQ(TYPE_MP3, J::IsMp3Type(s.data(), 512));
  s[9] = 0x80;
  EXPECT_EQ(TYPE_NONE, J::IsMp3Type(s.data(), 512)) << "not a syncsafe size";
  s[9] = 0;
  s[5] = 0x01;
  EXPECT_EQ(TYPE_NONE, J::IsMp3Type(s.data(), 512));
}

std::vector<unsigned char> IconDirectory(u32 secondOffsetDelta) {
  std::vector<unsigned char> s(512, 0);
  s[2] = 1;
  s[4] = 2;  // two images
  auto put32 = [&](size_t off, u32 v) {
    for (int i = 0; i < 4; ++i) s[off + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  put32(6 + 8, 1000);                          // image 1 size
  put32(6 + 12, 38);                           // right after the directory
  put32(22 + 8, 2000);                         // image 2 size
  put32(22 + 12, 38 + 1000 + secondOffsetDelta);
  return s;
}

TEST(Detectors, IconImagesMustLieBackToBack) {
  EXPECT_EQ(TYPE_ICO, J::IsIcoType(IconDirectory(0).data(), 512));
  EXPECT_EQ(TYPE_NONE, J::IsIcoType(IconDirectory(4).data(), 512));
  std::vector<unsigned char> s = IconDirectory(0);
  s[6 + 3] = 1;  // reserved byte
  EXPECT_EQ(TYPE_NONE, J::IsIcoType(s.data(), 512));
  s = IconDirectory(0);
  s[4] = 0;
  EXPECT_EQ(TYPE_NONE, J::IsIcoType(s.data(), 512)) << "no images";
  s = IconDirectory(0);
  s[4] = 0xFF;
  s[5] = 0xFF;  // a directory far longer than the buffer
  EXPECT_EQ(TYPE_NONE, J::IsIcoType(s.data(), 512));
  // The size rule: the last image's offset plus its size.
  carvetest::PointJudgeAt(nullptr, 0);
  EXPECT_EQ(38u + 1000 + 2000, J::GetICOFileBytesSize(IconDirectory(0).data(), 512));
}

TEST(Detectors, MtsPacketsWithATimestampContinueTheFileBefore) {
  std::vector<unsigned char> s = Sector({0x00, 0x00, 0x00, 0x00, 0, 0, 0, 0x42, 0x00, 0x00, 0xB0, 0x11, 0x00, 0x00,
                                         0xC1, 0x00});
  J::m_bIsMtsFileHead = 0;
  EXPECT_EQ(TYPE_MTS, J::IsMtsType(s.data(), 512));
  EXPECT_EQ(0x42, J::m_uMtsPreIndex);
  s[2] = 0x17;  // a timestamp
  EXPECT_EQ(TYPE_MTS, J::IsMtsType(s.data(), 512));
  J::m_bIsMtsFileHead = 1;
  EXPECT_EQ(TYPE_NONE, J::IsMtsType(s.data(), 512));
  s[2] = 0;
  EXPECT_EQ(TYPE_MTS, J::IsMtsType(s.data(), 512));
  J::m_bIsMtsFileHead = 0;
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

TEST(Detectors, QuickRejectionAgreesWithTryingEveryRow) {
  // The first-byte shortcut must never hide a type: compare it with the plain
  // table walk on random sectors and on sectors made to look like each format.
  std::mt19937 rng(12345);
  std::vector<unsigned char> s(512);
  int agreeing = 0;
  carvetest::PointJudgeAt(nullptr, 5);
  for (int i = 0; i < 20000; ++i) {
    for (auto& b : s) b = static_cast<unsigned char>(rng());
    if (i % 4 == 1) std::memcpy(&s[4], "ftyp", 4), std::memcpy(&s[8], i % 8 == 1 ? "qt  " : "3gp4", 4);
    if (i % 4 == 2) {
      const unsigned char mts[8] = {0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00};
      std::memcpy(&s[8], mts, 8);
      if (i % 8 == 2) std::memset(&s[0], 0, 4);
    }
    if (i % 4 == 3) std::memcpy(&s[31], "[Content_Types].xml", 19);
    if (i % 16 == 0) s[0] = static_cast<unsigned char>(i / 16);  // every first byte in turn
    int fast = J::DetectFileType(s.data(), 512), slow = J::DetectFileTypeAllRows(s.data(), 512);
    ASSERT_EQ(slow, fast) << "sector " << i;
    if (fast != TYPE_NONE) ++agreeing;
  }
  EXPECT_GT(agreeing, 1000) << "the crafted sectors should be detected";
}

}  // namespace
