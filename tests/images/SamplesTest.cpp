// The samples must be what their names say: checked by magic bytes and by ffprobe.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "ImagesCommon.h"

using namespace testimg;

namespace {

bool StartsWith(const std::vector<uint8_t>& b, const std::string& s, size_t at = 0) {
  if (b.size() < at + s.size()) return false;
  for (size_t i = 0; i < s.size(); ++i)
    if (b[at + i] != static_cast<uint8_t>(s[i])) return false;
  return true;
}

}  // namespace

TEST(TestimagesSamples, HashesAndSizesMatchFiles) {
  Manifest m = LoadManifest("samples");
  ASSERT_GE(m.files.size(), 30u);
  for (const auto& f : m.files) {
    ASSERT_FALSE(f.samplePath.empty()) << f.name;
    EXPECT_EQ(Sha256File(f.samplePath), f.sha256) << f.name;
    EXPECT_EQ(ReadAt(f.samplePath, 0, 1 << 24).size(), f.size) << f.name;
    EXPECT_LE(f.size, 400u * 1024) << f.name << " is larger than a sample should be";
  }
}

TEST(TestimagesSamples, MagicBytesMatchFormats) {
  const std::map<std::string, std::pair<std::string, size_t>> magic = {
      {"photo.jpg", {"\xFF\xD8\xFF\xE0", 0}}, {"photo_exif.jpg", {"\xFF\xD8\xFF\xE1", 0}},
      {"large.jpg", {"\xFF\xD8\xFF", 0}}, {"image.png", {"\x89PNG\r\n\x1A\n", 0}},
      {"image.gif", {"GIF89a", 0}}, {"image.bmp", {"BM", 0}}, {"image.tif", {"II*", 0}},
      {"image.psd", {"8BPS", 0}}, {"icon.ico", {std::string("\0\0\1\0", 4), 0}},
      {"document.pdf", {"%PDF-", 0}}, {"document.docx", {"PK\3\4", 0}}, {"sheet.xlsx", {"PK\3\4", 0}},
      {"slides.pptx", {"PK\3\4", 0}}, {"archive.zip", {"PK\3\4", 0}},
      {"document.doc", {"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 0}}, {"archive.7z", {"7z\xBC\xAF\x27\x1C", 0}},
      {"notes.txt.gz", {"\x1F\x8B\x08", 0}}, {"archive.cab", {"MSCF", 0}}, {"tone_id3v2.mp3", {"ID3", 0}},
      {"tone.wav", {"WAVE", 8}}, {"clip.avi", {"AVI ", 8}}, {"clip.mp4", {"ftyp", 4}},
      {"clip.mov", {"ftypqt", 4}}, {"clip.3gp", {"ftyp3gp", 4}}, {"clip.mkv", {"\x1A\x45\xDF\xA3", 0}},
      {"clip.flv", {"FLV\x01", 0}}, {"clip.mpg", {std::string("\0\0\1\xBA", 4), 0}}, {"clip.ts", {"G", 0}},
      {"clip.wmv", {"\x30\x26\xB2\x75\x8E\x66\xCF\x11", 0}}, {"tune.mid", {"MThd", 0}},
      {"data.sqlite", {std::string("SQLite format 3\0", 16), 0}},
      {"font.ttf", {std::string("\0\1\0\0", 4), 0}}};
  Manifest m = LoadManifest("samples");
  for (const auto& [name, mg] : magic) {
    const ManifestFile* f = m.Find("/" + name);
    ASSERT_NE(f, nullptr) << name << " missing from the samples";
    auto head = ReadAt(f->samplePath, 0, 64);
    EXPECT_TRUE(StartsWith(head, mg.first, mg.second)) << name;
  }
  // The Office Open XML parts start with [Content_Types].xml.
  for (const char* n : {"document.docx", "sheet.xlsx", "slides.pptx"}) {
    auto head = ReadAt(SamplePath(n), 30, 19);
    EXPECT_TRUE(StartsWith(head, "[Content_Types].xml")) << n;
  }
  // MP3 without a tag starts with a frame; the ID3v1 one ends with a 128-byte TAG.
  auto plain = ReadAt(SamplePath("tone_plain.mp3"), 0, 2);
  ASSERT_EQ(plain.size(), 2u);
  EXPECT_EQ(plain[0], 0xFF);
  EXPECT_EQ(plain[1] & 0xE0, 0xE0);
  const ManifestFile* v1 = m.Find("/tone_id3v1.mp3");
  ASSERT_NE(v1, nullptr);
  EXPECT_TRUE(StartsWith(ReadAt(v1->samplePath, v1->size - 128, 3), "TAG"));
  EXPECT_FALSE(StartsWith(ReadAt(v1->samplePath, 0, 3), "ID3"));
  // MPEG-TS packets are 188 bytes, each starting with 0x47.
  auto ts = ReadAt(SamplePath("clip.ts"), 0, 188 * 8);
  ASSERT_EQ(ts.size(), 188u * 8);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(ts[static_cast<size_t>(i) * 188], 0x47);
}

TEST(TestimagesSamples, MediaContainersAsFfprobeSeesThem) {
  const std::map<std::string, std::string> formats = {
      {"clip.avi", "avi"}, {"clip.mp4", "mov,mp4,m4a,3gp,3g2,mj2"}, {"clip.mov", "mov,mp4,m4a,3gp,3g2,mj2"},
      {"clip.3gp", "mov,mp4,m4a,3gp,3g2,mj2"}, {"clip.mkv", "matroska,webm"}, {"clip.flv", "flv"},
      {"clip.mpg", "mpeg"}, {"clip.ts", "mpegts"}, {"clip.wmv", "asf"}, {"tone.wav", "wav"},
      {"tone_plain.mp3", "mp3"}, {"tone_id3v1.mp3", "mp3"}, {"tone_id3v2.mp3", "mp3"}};
  for (const auto& [name, fmt] : formats) {
    int rc = 0;
    std::string out = RunCommand("ffprobe -v error -show_entries format=format_name -of default=nw=1:nk=1 " +
                                     ShellQuote(SamplePath(name)) + " 2>&1", &rc);
    EXPECT_EQ(rc, 0) << name << ": " << out;
    EXPECT_EQ(out, fmt + "\n") << name;
  }
}

TEST(TestimagesSamples, ArchivesAndDatabaseOpenWithTheirTools) {
  EXPECT_TRUE(imgcheck::CommandSucceeds("7z t " + ShellQuote(SamplePath("archive.zip")))) << "zip";
  for (const char* n : {"document.docx", "sheet.xlsx", "slides.pptx"})
    EXPECT_TRUE(imgcheck::CommandSucceeds("7z t " + ShellQuote(SamplePath(n)))) << n;
  EXPECT_TRUE(imgcheck::CommandSucceeds("7z t " + ShellQuote(SamplePath("archive.7z"))));
  EXPECT_TRUE(imgcheck::CommandSucceeds("gzip -t " + ShellQuote(SamplePath("notes.txt.gz"))));
  EXPECT_TRUE(imgcheck::CommandSucceeds("gcab -l " + ShellQuote(SamplePath("archive.cab"))));
  EXPECT_EQ(RunCommand("sqlite3 " + ShellQuote(SamplePath("data.sqlite")) + " 'SELECT COUNT(*) FROM photos'"),
            "200\n");
  // 7-Zip reads compound files; it must find the one stream written into the DOC.
  std::string doc = RunCommand("7z l -slt " + ShellQuote(SamplePath("document.doc")) + " 2>&1");
  EXPECT_NE(doc.find("Path = WordDocument"), std::string::npos) << doc;
  EXPECT_NE(doc.find("Size = 8192"), std::string::npos) << doc;
}
