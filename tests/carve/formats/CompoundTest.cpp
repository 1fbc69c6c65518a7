// Compound files: the classifier that names Word, Excel and PowerPoint
// files (before the Flash-authoring row can claim them) and the length
// from the allocation table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "carve/CarveTestUtil.h"
#include "carve/FileTypeJudge.h"
#include "carve/formats/Formats.h"

namespace {

typedef CFileTypeJudge J;
using carvetest::CarveRules;
using carvetest::Fill;

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
    carvetest::TestContext ctx(&r, 2);
    int row = -1;
    EXPECT_EQ(c.type, J::DetectFileType(ctx, img.At(2), 512, &row));
    EXPECT_STREQ(c.ext, J::szExtendNameAndType[row].szExtendName);
    EXPECT_EQ(TYPE_FLA, carvefmt::IsFlaType(ctx, img.At(2), 512));
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
  carvetest::TestContext ctx(&r, 0);
  EXPECT_EQ(TYPE_XLS, carvefmt::GetOffice2003Type(ctx, img.At(0), 512));
  img.bytes[512] = 0xEC;
  img.bytes[513] = 0xA5;
  img.Write();
  EXPECT_EQ(TYPE_DOC, carvefmt::GetOffice2003Type(ctx, img.At(0), 512));
  // Without a reader nothing further can be read: an unclassified compound file.
  carvetest::TestContext none(nullptr, 0);
  EXPECT_EQ(TYPE_OLE, carvefmt::IsOffice2003Type(none, img.At(0), 512));
}

TEST_F(CarveRules, CompoundFileSizeFromItsAllocationTable) {
  // One table sector, 28 used entries: the last 100 are free.
  carvetest::TempImage img("carve-cf-size", 80);
  std::vector<unsigned char> cf = carvetest::MakeCompoundFile("WordDocument", nullptr, 26);
  ASSERT_EQ(14848u, cf.size());
  img.Put(4, cf);
  Fill(img.bytes, (4 + 29) * 512, 40 * 512, 0x71);  // what follows is not part of it
  Open(img);
  carvetest::TestContext ctx6(&reader, 4);
  EXPECT_EQ(14848u, carvefmt::GetOFFICE2003FileBytesSizeByFileHead(ctx6, img.At(4), 512));
  u64 skip = 0, files = 0;
  ASSERT_EQ(0, Parse(img, 4, skip, files));
  EXPECT_EQ(1u, skip) << "documents are measured from their header: look inside again";
  FILE_NODE_VECTOR nodes = Nodes();
  ASSERT_EQ(1u, nodes.size());
  EXPECT_STREQ("4.doc", nodes[0].szFileName);
  EXPECT_EQ(14848u, nodes[0].u64FileSize);

  // Header fields that do not allow a size.
  std::vector<unsigned char> h(cf.begin(), cf.begin() + 512);
  h[30] = 10;
  EXPECT_EQ(0u, carvefmt::GetOFFICE2003FileBytesSizeByFileHead(ctx6, h.data(), 512)) << "sector shift";
  h[30] = 9;
  h[44] = 0;
  EXPECT_EQ(0u, carvefmt::GetOFFICE2003FileBytesSizeByFileHead(ctx6, h.data(), 512)) << "no table sector";
  h[44] = 110;
  EXPECT_EQ(0u, carvefmt::GetOFFICE2003FileBytesSizeByFileHead(ctx6, h.data(), 512)) << "more than the header lists";
  h[44] = 50;
  h[72] = 1;
  EXPECT_EQ(0u, carvefmt::GetOFFICE2003FileBytesSizeByFileHead(ctx6, h.data(), 512)) << "extension with fewer than 109";
  h[72] = 0xFF, h[73] = 0xFF, h[74] = 0xFF, h[75] = 0x7F;
  EXPECT_EQ(0u, carvefmt::GetOFFICE2003FileBytesSizeByFileHead(ctx6, h.data(), 512)) << "absurd extension count";
  h[72] = h[73] = h[74] = h[75] = 0;
  h[44] = 0x00, h[45] = 0x10;  // 4096 table sectors with no extension list
  EXPECT_EQ(134217727u, carvefmt::GetOFFICE2003FileBytesSizeByFileHead(ctx6, h.data(), 512)) << "capped";
  EXPECT_EQ(0u, carvefmt::GetOFFICE2003FileBytesSizeByFileHead(ctx6, h.data(), 511));
}

TEST_F(CarveRules, CompoundFileWithExtensionSectorsFindsItsLastTableSector) {
  // 120 table sectors: 109 in the header, 11 in one extension sector. The
  // table sectors are not written; only the extension and the last one.
  const u32 tables = 120;
  carvetest::TempImage img("carve-cf-ext", 64);
  std::vector<unsigned char> h(512, 0);
  const unsigned char sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::memcpy(h.data(), sig, 8);
  h[30] = 9;
  std::memcpy(&h[44], &tables, 4);
  const u32 extStart = 5, extCount = 1, lastTable = 7;
  std::memcpy(&h[68], &extStart, 4);
  std::memcpy(&h[72], &extCount, 4);
  img.Put(0, h);
  std::vector<unsigned char> ext(512, 0xFF);
  for (u32 i = 0; i < 11; ++i) {
    u32 v = i == 10 ? lastTable : 100 + i;
    std::memcpy(&ext[4 * i], &v, 4);
  }
  img.Put(extStart + 1, ext);
  std::vector<unsigned char> last(512, 0);
  for (int i = 0; i < 128; ++i) {
    u32 v = i < 28 ? 1u : 0xFFFFFFFFu;
    std::memcpy(&last[4 * i], &v, 4);
  }
  img.Put(lastTable + 1, last);
  Open(img);
  carvetest::TestContext ctx7(&reader, 0);
  EXPECT_EQ((tables * 128ull + 1 - 100) * 512, carvefmt::GetOFFICE2003FileBytesSizeByFileHead(ctx7, img.At(0), 512));
}

}  // namespace
