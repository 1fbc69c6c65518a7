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
using carvetest::CarveRules;
using carvetest::Fill;
using carvetest::LogProgress;
using carvetest::ProgressLog;

// A JFIF header at byte `at` of the image.
void PutJpegHead(carvetest::TempImage& img, u64 sector) {
  const unsigned char head[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
  img.Put(sector, head, sizeof(head));
}

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
  carvetest::TestContext ctx1(&reader, 0);
  EXPECT_EQ(end, carvefmt::GetJPGFileBytesSize(ctx1, img.At(0), 512));

  img.bytes[end + 3] = 0x01;  // the tail is no longer zero: that FF D9 is refused
  img.Write();
  carvetest::TestContext ctx2(&reader, 0);
  EXPECT_EQ(9u * 512, carvefmt::GetJPGFileBytesSize(ctx2, img.At(0), 512)) << "ends before the PNG sector";

  // All in the first sector: measured without reading anything.
  carvetest::TempImage small("carve-jpg-small", 4);
  PutJpegHead(small, 0);
  small.bytes[300] = 0xFF;
  small.bytes[301] = 0xD9;
  carvetest::TestContext ctx3(nullptr, 0);
  EXPECT_EQ(302u, carvefmt::GetJPGFileBytesSize(ctx3, small.At(0), 512));
}

TEST_F(CarveRules, DeclaredSizesAreCapped) {
  carvetest::TestContext ctx4(nullptr, 0);
  std::vector<unsigned char> s(512, 0);
  std::memcpy(s.data(), "FWS", 3);
  s[3] = 5;
  s[7] = 0x40;  // 1 GiB
  EXPECT_EQ(268435456u, carvefmt::GetSWFFileBytesSize(ctx4, s.data(), 512));
  s[0] = 'C';
  EXPECT_EQ(512u, carvefmt::GetSWFFileBytesSize(ctx4, s.data(), 512)) << "compressed: the length is not the file's";
  std::memset(s.data(), 0, 512);
  s[0] = 'B';
  s[1] = 'M';
  const u32 bmp = 200000000;
  std::memcpy(&s[2], &bmp, 4);
  EXPECT_EQ(134217728u, carvefmt::GetBMPFileBytesSize(ctx4, s.data(), 512));
  std::memset(s.data(), 0, 512);
  std::memcpy(s.data(), "MSCF", 4);
  s[11] = 0x7F;
  EXPECT_EQ(1073741824u, carvefmt::GetCABFileBytesSize(ctx4, s.data(), 512));
  EXPECT_EQ(512u, carvefmt::GetCABFileBytesSize(ctx4, s.data(), 35));
  std::memset(s.data(), 0, 512);
  std::memcpy(s.data(), "RIFF", 4);
  s[4] = 0xFF, s[5] = 0xFF, s[6] = 0xFF, s[7] = 0xFF;
  EXPECT_EQ(0xFFFFFFFFull + 8, carvefmt::GetAVIFileBytesSize(ctx4, s.data(), 512)) << "no 32-bit wrap";
  EXPECT_EQ(0xFFFFFFFFull + 8, carvefmt::GetWAVFileBytesSize(ctx4, s.data(), 512));
}

TEST_F(CarveRules, AsfSizeComesFromTheFilePropertiesObject) {
  carvetest::TestContext ctx5(nullptr, 0);
  std::vector<unsigned char> s(512, 0);
  const unsigned char head[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                  0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  const unsigned char props[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                   0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
  std::memcpy(s.data(), head, 16);
  std::memcpy(&s[100], props, 16);
  const u64 size = 123456;
  std::memcpy(&s[140], &size, 8);
  EXPECT_EQ(123456u, carvefmt::GetASFFileBytesSize(ctx5, s.data(), 512));
  s[188] = 1;  // broadcast
  EXPECT_EQ(512u, carvefmt::GetASFFileBytesSize(ctx5, s.data(), 512));
  s[188] = 0;
  EXPECT_EQ(512u, carvefmt::GetASFFileBytesSize(ctx5, s.data(), 191)) << "flags beyond the buffer";
  const u64 huge = 1ull << 40;
  std::memcpy(&s[140], &huge, 8);
  EXPECT_EQ(268435456u, carvefmt::GetASFFileBytesSize(ctx5, s.data(), 512));
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
  EXPECT_EQ(1, J::Pass().nStopAnswer);
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
  carvetest::TestContext ctx10(&reader, 10);
  EXPECT_EQ(pdf.size(), carvefmt::GetPDFFileBytesSize(ctx10, img.At(10), 512));
  carvetest::TestContext ctx11(&reader, 20);
  EXPECT_EQ(300u, carvefmt::GetZIPFileBytesSize(ctx11, img.At(20), 512)) << "not the second zip's end";
  carvetest::TestContext ctx12(&reader, 197);
  EXPECT_EQ(2u * 512 + 108, carvefmt::GetPNGFileBytesSize(ctx12, img.At(197), 512));
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
