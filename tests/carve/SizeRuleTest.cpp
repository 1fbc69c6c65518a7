// Size rules and the carving step on small images written by the tests:
// end markers and their acceptance, caps, the compound-file table, the
// transport-stream chain, MIDI tracks, cancellation and progress.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CarveTestUtil.h"
#include "carve/FileTypeJudge.h"
#include "carve/FileTypeRecovery.h"
#include "engine/TextUtil.h"

namespace {

typedef CFileTypeJudge J;

void Fill(std::vector<unsigned char>& b, size_t from, size_t to, unsigned char v) {
  for (size_t i = from; i < to && i < b.size(); ++i) b[i] = v;
}

// A JFIF header at byte `at` of the image.
void PutJpegHead(carvetest::TempImage& img, u64 sector) {
  const unsigned char head[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
  img.Put(sector, head, sizeof(head));
}

struct ProgressLog {
  int calls = 0;
  int answer = 0;
  int answerFromCall = 1;  // answer only from this call on
  int lastProgress = -1, lastPercent = -1;
  u64 lastSector = 0, lastTotal = 0, lastFiles = 0;
};
int LogProgress(void* p, int progress, int percent, int, u64 cur, u64 total, u64 files, wchar_t*) {
  ProgressLog* log = static_cast<ProgressLog*>(p);
  ++log->calls;
  log->lastProgress = progress;
  log->lastPercent = percent;
  log->lastSector = cur;
  log->lastTotal = total;
  log->lastFiles = files;
  return log->calls >= log->answerFromCall ? log->answer : 0;
}

class CarveRules : public ::testing::Test {
 protected:
  void SetUp() override {
    support = carvetest::UseFreshSupportDir("carve-rules");
    J::m_tsFileRangeVec.clear();
    J::InitCallBack(nullptr, nullptr, nullptr, 90);
  }
  void TearDown() override {
    J::InitCallBack(nullptr, nullptr, nullptr, 0);
    testfiles::Run("rm -rf '" + support + "'");
  }
  // Opens img in a fresh engine (by path) and a reader over it.
  void Open(carvetest::TempImage& img) {
    img.Write();
    ASSERT_EQ(0, reader.Init(img.path.c_str(), img.Sectors()));
    std::wstring wide = Utf8ToWide(img.path);
    ASSERT_EQ(0, engine.Init(const_cast<wchar_t*>(wide.c_str()), L'C'));
  }
  int Parse(carvetest::TempImage& img, u64 sector, u64& skip, u64& files) {
    skip = 1;
    return engine.ParseFileBuf(img.At(sector), 512, sector, 0, img.Sectors(), -1, &reader, 512, skip, files);
  }
  FILE_NODE_VECTOR Nodes() {
    FILE_NODE_VECTOR out;
    engine.GetChildrenFileNode(nullptr, 0, out);
    return out;
  }
  std::string support;
  CDiskReader reader;
  CFileTypeRecovery engine;
};

TEST_F(CarveRules, JpegAt5000Of3000BytesIsNamedSizedAndSkipped) {
  carvetest::TempImage img("carve-jpg", 5100);
  PutJpegHead(img, 5000);
  Fill(img.bytes, 5000 * 512 + 20, 5000 * 512 + 2998, 0x55);
  img.bytes[5000 * 512 + 2998] = 0xFF;
  img.bytes[5000 * 512 + 2999] = 0xD9;
  Open(img);
  u64 skip = 0, files = 7;
  ASSERT_EQ(0, Parse(img, 5000, skip, files));
  EXPECT_EQ(6u, skip);
  EXPECT_EQ(8u, files);
  FILE_NODE_VECTOR nodes = Nodes();
  ASSERT_EQ(1u, nodes.size());
  EXPECT_STREQ("5000.jpg", nodes[0].szFileName);
  EXPECT_EQ(3000u, nodes[0].u64FileSize);
  EXPECT_EQ(5000u, nodes[0].u64RecordSector);
  EXPECT_EQ(1u, nodes[0].nFileIndex);
  EXPECT_EQ(0u, nodes[0].u64VolumeStartSector);
  EXPECT_EQ(static_cast<wchar_t>(L'C'), nodes[0].wcDrive);
}

TEST_F(CarveRules, JpegEndMarkerNeedsZerosToItsSectorEnd) {
  // FF D9 ends 10 bytes before the end of sector 3 of the file; then a PNG.
  carvetest::TempImage img("carve-jpg-end", 64);
  PutJpegHead(img, 0);
  const size_t end = 4 * 512 - 10;
  Fill(img.bytes, 20, end - 2, 0x33);
  img.bytes[end - 2] = 0xFF;
  img.bytes[end - 1] = 0xD9;
  const unsigned char png[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  img.Put(9, png, 8);
  Fill(img.bytes, 9 * 512 + 8, 10 * 512, 0x44);
  Open(img);
  carvetest::PointJudgeAt(&reader, 0);
  EXPECT_EQ(end, J::GetJPGFileBytesSize(img.At(0), 512));

  img.bytes[end + 3] = 0x01;  // the tail is no longer zero: that FF D9 is refused
  img.Write();
  carvetest::PointJudgeAt(&reader, 0);
  EXPECT_EQ(9u * 512, J::GetJPGFileBytesSize(img.At(0), 512)) << "ends before the PNG sector";

  // All in the first sector: measured without reading anything.
  carvetest::TempImage small("carve-jpg-small", 4);
  PutJpegHead(small, 0);
  small.bytes[300] = 0xFF;
  small.bytes[301] = 0xD9;
  carvetest::PointJudgeAt(nullptr, 0);
  EXPECT_EQ(302u, J::GetJPGFileBytesSize(small.At(0), 512));
}

TEST_F(CarveRules, DeclaredSizesAreCapped) {
  carvetest::PointJudgeAt(nullptr, 0);
  std::vector<unsigned char> s(512, 0);
  std::memcpy(s.data(), "FWS", 3);
  s[3] = 5;
  s[7] = 0x40;  // 1 GiB
  EXPECT_EQ(268435456u, J::GetSWFFileBytesSize(s.data(), 512));
  s[0] = 'C';
  EXPECT_EQ(512u, J::GetSWFFileBytesSize(s.data(), 512)) << "compressed: the length is not the file's";
  std::memset(s.data(), 0, 512);
  s[0] = 'B';
  s[1] = 'M';
  const u32 bmp = 200000000;
  std::memcpy(&s[2], &bmp, 4);
  EXPECT_EQ(134217728u, J::GetBMPFileBytesSize(s.data(), 512));
  std::memset(s.data(), 0, 512);
  std::memcpy(s.data(), "MSCF", 4);
  s[11] = 0x7F;
  EXPECT_EQ(1073741824u, J::GetCABFileBytesSize(s.data(), 512));
  EXPECT_EQ(512u, J::GetCABFileBytesSize(s.data(), 35));
  std::memset(s.data(), 0, 512);
  std::memcpy(s.data(), "RIFF", 4);
  s[4] = 0xFF, s[5] = 0xFF, s[6] = 0xFF, s[7] = 0xFF;
  EXPECT_EQ(0xFFFFFFFFull + 8, J::GetAVIFileBytesSize(s.data(), 512)) << "no 32-bit wrap";
  EXPECT_EQ(0xFFFFFFFFull + 8, J::GetWAVFileBytesSize(s.data(), 512));
}

TEST_F(CarveRules, AsfSizeComesFromTheFilePropertiesObject) {
  carvetest::PointJudgeAt(nullptr, 0);
  std::vector<unsigned char> s(512, 0);
  const unsigned char head[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                  0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  const unsigned char props[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                   0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
  std::memcpy(s.data(), head, 16);
  std::memcpy(&s[100], props, 16);
  const u64 size = 123456;
  std::memcpy(&s[140], &size, 8);
  EXPECT_EQ(123456u, J::GetASFFileBytesSize(s.data(), 512));
  s[188] = 1;  // broadcast
  EXPECT_EQ(512u, J::GetASFFileBytesSize(s.data(), 512));
  s[188] = 0;
  EXPECT_EQ(512u, J::GetASFFileBytesSize(s.data(), 191)) << "flags beyond the buffer";
  const u64 huge = 1ull << 40;
  std::memcpy(&s[140], &huge, 8);
  EXPECT_EQ(268435456u, J::GetASFFileBytesSize(s.data(), 512));
}

TEST_F(CarveRules, Mp3EndsAfterItsLastTagAndReportsProgress) {
  // "TAG" at file offset 5000000 and nothing after it that ends the file.
  const u64 sectors = 5000000 / 512 + 400;
  carvetest::TempImage img("carve-mp3", sectors);
  const unsigned char id3[10] = {'I', 'D', '3', 3, 0, 0, 0, 0, 0x10, 0};
  img.Put(0, id3, 10);
  Fill(img.bytes, 10, img.bytes.size(), 0x5A);
  std::memcpy(&img.bytes[5000000], "TAG", 3);
  Open(img);
  ProgressLog log;
  J::InitCallBack(LogProgress, nullptr, &log, 90);
  u64 skip = 0, files = 0;
  ASSERT_EQ(0, Parse(img, 0, skip, files));
  FILE_NODE_VECTOR nodes = Nodes();
  ASSERT_EQ(1u, nodes.size());
  EXPECT_EQ(5000128u, nodes[0].u64FileSize);
  EXPECT_STREQ("0.mp3", nodes[0].szFileName);
  EXPECT_EQ((5000128u + 511) / 512, skip);
  // One call per 64 KiB step, each with the sectors read ahead so far.
  EXPECT_GE(log.calls, static_cast<int>((sectors - 1) / 128));
  EXPECT_EQ(90, log.lastPercent);
  EXPECT_EQ(sectors - 1, log.lastSector);
  EXPECT_EQ(sectors, log.lastTotal);
  EXPECT_EQ(static_cast<int>((sectors - 1) * 100 / sectors + 10), log.lastProgress);
}

TEST_F(CarveRules, CancelDuringMeasurementRecordsNothing) {
  carvetest::TempImage img("carve-cancel", 2000);
  const unsigned char mkv[4] = {0x1A, 0x45, 0xDF, 0xA3};
  img.Put(10, mkv, 4);
  Fill(img.bytes, 10 * 512 + 16, img.bytes.size(), 0x61);
  Open(img);
  ProgressLog log;
  log.answer = RECOVERY_CANCELLED;
  log.answerFromCall = 3;
  engine.InitCallBack(LogProgress, nullptr, &log, 90);
  u64 skip = 0, files = 4;
  EXPECT_EQ(RECOVERY_CANCELLED, Parse(img, 10, skip, files));
  EXPECT_EQ(3, log.calls) << "stops at the first cancelling answer";
  EXPECT_EQ(1u, skip) << "skip untouched";
  EXPECT_EQ(4u, files);
  EXPECT_TRUE(Nodes().empty());
  EXPECT_EQ(0, engine.GetLostFileCount());

  // The window's scan callback answers 1 when the user cancels: that stops
  // the measurement the same way, and no truncated file is kept.
  ProgressLog stop;
  stop.answer = 1;
  engine.InitCallBack(LogProgress, nullptr, &stop, 90);
  EXPECT_EQ(RECOVERY_CANCELLED, Parse(img, 10, skip, files));
  EXPECT_TRUE(Nodes().empty());
  EXPECT_EQ(1, stop.calls);
  EXPECT_EQ(1, J::m_ErrorCode);
  // Answers of 0 let it run to the range's end and keep it.
  ProgressLog go;
  engine.InitCallBack(LogProgress, nullptr, &go, 90);
  EXPECT_EQ(0, Parse(img, 10, skip, files));
  FILE_NODE_VECTOR nodes = Nodes();
  ASSERT_EQ(1u, nodes.size());
  EXPECT_EQ((2000u - 10) * 512, nodes[0].u64FileSize);
  EXPECT_EQ(static_cast<int>((2000 - 11 + 127) / 128), go.calls);

  // The pass stops where the cancel came.
  ProgressLog again;
  again.answer = RECOVERY_CANCELLED;
  engine.InitCallBack(LogProgress, nullptr, &again, 90);
  carvetest::PassResult r = carvetest::RunSectorPass(engine, reader, 0, img.Sectors());
  EXPECT_TRUE(r.bCancelled);
  EXPECT_EQ(10u, r.u64StoppedAt);
}

TEST_F(CarveRules, CompoundFileSizeFromItsAllocationTable) {
  // One table sector, 28 used entries: the last 100 are free.
  carvetest::TempImage img("carve-cf-size", 80);
  std::vector<unsigned char> cf = carvetest::MakeCompoundFile("WordDocument", nullptr, 26);
  ASSERT_EQ(14848u, cf.size());
  img.Put(4, cf);
  Fill(img.bytes, (4 + 29) * 512, 40 * 512, 0x71);  // what follows is not part of it
  Open(img);
  carvetest::PointJudgeAt(&reader, 4);
  EXPECT_EQ(14848u, J::GetOFFICE2003FileBytesSizeByFileHead(img.At(4), 512));
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
  EXPECT_EQ(0u, J::GetOFFICE2003FileBytesSizeByFileHead(h.data(), 512)) << "sector shift";
  h[30] = 9;
  h[44] = 0;
  EXPECT_EQ(0u, J::GetOFFICE2003FileBytesSizeByFileHead(h.data(), 512)) << "no table sector";
  h[44] = 110;
  EXPECT_EQ(0u, J::GetOFFICE2003FileBytesSizeByFileHead(h.data(), 512)) << "more than the header lists";
  h[44] = 50;
  h[72] = 1;
  EXPECT_EQ(0u, J::GetOFFICE2003FileBytesSizeByFileHead(h.data(), 512)) << "extension with fewer than 109";
  h[72] = 0xFF, h[73] = 0xFF, h[74] = 0xFF, h[75] = 0x7F;
  EXPECT_EQ(0u, J::GetOFFICE2003FileBytesSizeByFileHead(h.data(), 512)) << "absurd extension count";
  h[72] = h[73] = h[74] = h[75] = 0;
  h[44] = 0x00, h[45] = 0x10;  // 4096 table sectors with no extension list
  EXPECT_EQ(134217727u, J::GetOFFICE2003FileBytesSizeByFileHead(h.data(), 512)) << "capped";
  EXPECT_EQ(0u, J::GetOFFICE2003FileBytesSizeByFileHead(h.data(), 511));
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
  carvetest::PointJudgeAt(&reader, 0);
  EXPECT_EQ((tables * 128ull + 1 - 100) * 512, J::GetOFFICE2003FileBytesSizeByFileHead(img.At(0), 512));
}

TEST_F(CarveRules, TransportStreamIsCutWhereItsPacketChainBreaks) {
  const u64 sectors = 752000 / 512 + 64;
  carvetest::TempImage img("carve-ts", sectors);
  const size_t start = 512;  // sector 1; sector 0 stays zero
  for (size_t off = 0; off < 752000; off += 188) {
    img.bytes[start + off] = 0x47;
    img.bytes[start + off + 1] = 0x41;
    Fill(img.bytes, start + off + 2, start + off + 188, 0x20);
  }
  Fill(img.bytes, start + 752000, img.bytes.size(), 0x21);
  Open(img);
  J::m_bIsNeedCheckTsFileRange = 1;
  u64 skip = 0, files = 0;
  ASSERT_EQ(0, Parse(img, 1, skip, files));
  FILE_NODE_VECTOR nodes = Nodes();
  ASSERT_EQ(1u, nodes.size());
  EXPECT_STREQ("1.ts", nodes[0].szFileName);
  EXPECT_EQ(752000u, nodes[0].u64FileSize);
  EXPECT_EQ((752000u + 511) / 512, skip);
  ASSERT_EQ(1u, J::m_tsFileRangeVec.size());
  EXPECT_EQ(1u, J::m_tsFileRangeVec[0].u64StartSector);
  EXPECT_EQ(1u + (752000 + 511) / 512 - 1, J::m_tsFileRangeVec[0].u64EndSector);
  // The flag stays on after a stream, so the next candidate is range-checked.
  EXPECT_EQ(1, J::m_bIsNeedCheckTsFileRange);
}

TEST_F(CarveRules, WavIsSkippedOneSectorSoFilesInsideAreFound) {
  carvetest::TempImage img("carve-wav", 8000);
  std::vector<unsigned char> wav(512, 0);
  std::memcpy(wav.data(), "RIFF", 4);
  const u32 riff = 100000 - 8;
  std::memcpy(&wav[4], &riff, 4);
  std::memcpy(&wav[8], "WAVEfmt ", 8);
  img.Put(7000, wav);
  Fill(img.bytes, 7001 * 512, 7000 * 512 + 100000, 0x13);
  const unsigned char id3[10] = {'I', 'D', '3', 3, 0, 0, 0, 0, 0x10, 0};
  img.Put(7050, id3, 10);
  std::memcpy(&img.bytes[7060 * 512], "TAG", 3);
  Fill(img.bytes, 7060 * 512 + 3, 7060 * 512 + 128, 0x14);
  // A program header inside too: recognised, never carved.
  std::vector<unsigned char> pe(512, 0);
  pe[0] = 'M', pe[1] = 'Z', pe[60] = 0x80;
  std::memcpy(&pe[0x80], "PE\0\0", 4);
  pe[0x80 + 22] = 0x02;
  img.Put(7100, pe);
  Open(img);
  u64 skip = 0, files = 0;
  ASSERT_EQ(0, Parse(img, 7000, skip, files));
  EXPECT_EQ(1u, skip);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Parse(img, 7100, skip, files)) << "a program image is not carved";
  EXPECT_EQ(1u, files);

  CFileTypeRecovery fresh;
  std::wstring wide = Utf8ToWide(img.path);
  ASSERT_EQ(0, fresh.Init(const_cast<wchar_t*>(wide.c_str()), L'C'));
  carvetest::PassResult r = carvetest::RunSectorPass(fresh, reader, 0, img.Sectors());
  FILE_NODE_VECTOR nodes;
  fresh.GetChildrenFileNode(nullptr, 0, nodes);
  ASSERT_EQ(2u, nodes.size());
  EXPECT_EQ(2u, r.u64FilesFound);
  EXPECT_STREQ("7000.wav", nodes[0].szFileName);
  EXPECT_EQ(100000u, nodes[0].u64FileSize);
  EXPECT_STREQ("7050.mp3", nodes[1].szFileName);
  EXPECT_EQ(10u * 512 + 128, nodes[1].u64FileSize);
}

TEST_F(CarveRules, MidiLengthFollowsItsTracks) {
  // Two tracks, the second running over a sector boundary; noise after.
  carvetest::TempImage img("carve-mid", 40);
  std::vector<unsigned char> mid;
  auto put = [&](const char* s, size_t n) { mid.insert(mid.end(), s, s + n); };
  auto be32 = [&](u32 v) {
    for (int i = 3; i >= 0; --i) mid.push_back(static_cast<unsigned char>(v >> (8 * i)));
  };
  put("MThd", 4);
  be32(6);
  const unsigned char hdr[6] = {0, 1, 0, 2, 0, 96};
  mid.insert(mid.end(), hdr, hdr + 6);
  put("MTrk", 4);
  be32(486);  // the next header, at 508, straddles sectors 0 and 1
  mid.insert(mid.end(), 486, 0x40);
  put("MTrk", 4);
  be32(2500);
  mid.insert(mid.end(), 2500, 0x41);
  img.Put(2, mid);
  Fill(img.bytes, 2 * 512 + mid.size(), img.bytes.size(), 0x42);
  Open(img);
  carvetest::PointJudgeAt(&reader, 2);
  EXPECT_EQ(mid.size(), J::GetMIDFileBytesSize(img.At(2), 512));

  // A track header that is not where the lengths say: no declared end.
  img.bytes[2 * 512 + 508] = 'X';
  img.Write();
  carvetest::PointJudgeAt(&reader, 2);
  EXPECT_EQ(38u * 512, J::GetMIDFileBytesSize(img.At(2), 512)) << "runs to the range's end";
}

TEST_F(CarveRules, MarkerRulesKeepTheirTailsAndStopAtTheNextFile) {
  carvetest::TempImage img("carve-markers", 200);
  // A PDF ending "%%EOF\r\n", then a zip with a 5-byte comment right behind it.
  std::string pdf = "%PDF-1.4\n" + std::string(1500, 'p') + "\ntrailer\n<<>>\n%%EOF\r\n";
  img.Put(10, pdf.data(), pdf.size());
  std::vector<unsigned char> zip(300, 0x2A);
  const unsigned char local[4] = {0x50, 0x4B, 0x03, 0x04}, eocd[4] = {0x50, 0x4B, 0x05, 0x06};
  std::memcpy(zip.data(), local, 4);
  std::memcpy(&zip[300 - 27], eocd, 4);
  std::memset(&zip[300 - 23], 0, 16);
  zip[300 - 7] = 5;  // comment length (16-bit)
  zip[300 - 6] = 0;
  std::memcpy(&zip[300 - 5], "hello", 5);
  img.Put(20, zip);
  // A second zip directly after the first, in the same read-ahead step.
  img.Put(21, zip);
  // A PNG in the last sectors of the range, with its end inside.
  const unsigned char png[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  img.Put(197, png, 8);
  Fill(img.bytes, 197 * 512 + 8, 199 * 512 + 100, 0x66);
  const unsigned char iend[8] = {0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
  std::memcpy(&img.bytes[199 * 512 + 100], iend, 8);
  Open(img);
  carvetest::PointJudgeAt(&reader, 10);
  EXPECT_EQ(pdf.size(), J::GetPDFFileBytesSize(img.At(10), 512));
  carvetest::PointJudgeAt(&reader, 20);
  EXPECT_EQ(300u, J::GetZIPFileBytesSize(img.At(20), 512)) << "not the second zip's end";
  carvetest::PointJudgeAt(&reader, 197);
  EXPECT_EQ(2u * 512 + 108, J::GetPNGFileBytesSize(img.At(197), 512));
}

TEST_F(CarveRules, StoreNameCarriesTheRangeAndTheTime) {
  std::string name = WideToUtf8(CFileTypeRecovery::MakeStoreName(2048));
  EXPECT_EQ(0u, name.find("File_Type_2048_"));
  SYSTEMTIME t;
  rsb_getLocalTime(&t);
  char year[8];
  std::snprintf(year, sizeof(year), "%d", t.wYear);
  EXPECT_EQ(15u, name.find(year));
  // Without a store nothing is listed and a search callback cannot be given.
  CFileTypeRecovery none;
  FILE_NODE_VECTOR out;
  EXPECT_EQ(0, none.GetChildrenFileNode(nullptr, 0, out));
  EXPECT_EQ(0, none.GetLostFileCount());
  EXPECT_EQ(STATUS_INVALID_PARAMETER, none.InitSearchCallBack(nullptr, nullptr));
  EXPECT_EQ(0, none.ScanDevice(nullptr));
  std::wstring missing = L"/nonexistent/disk.img";
  EXPECT_EQ(ENOENT, none.Init(const_cast<wchar_t*>(missing.c_str()), L'C'));
}

}  // namespace
