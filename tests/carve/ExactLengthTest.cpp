// Exact lengths of carved JPEG, MP4/MOV/3GP and MP3 files made by real
// encoders and laid among noise that fooled the old end-marker rules (an
// accepted FF D9, "TAG" and MPEG frame syncs after the file), and the
// fallbacks on truncated and damaged files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "CarveTestUtil.h"
#include "support/TestImages.h"
#include "carve/FileTypeJudge.h"
#include "carve/FileTypeRecovery.h"
#include "engine/TextUtil.h"

namespace {

typedef CFileTypeJudge J;
typedef std::vector<unsigned char> Blob;

const char* const kFfmpeg = "ffmpeg -nostdin -hide_banner -loglevel error -y ";

// The encoders' files, made once for the whole suite.
std::map<std::string, Blob>& Media() {
  static std::map<std::string, Blob> media;
  return media;
}
std::string& MediaError() {
  static std::string error;
  return error;
}

void Put32BE(Blob& b, size_t at, u32 v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

// A JPEG that starts with an Exif APP1 holding a small JPEG thumbnail (IFD1
// tags 0x0201 / 0x0202 give its offset and length), then the picture's own
// segments: the thumbnail's FF D9 comes long before the picture's.
Blob WithExifThumbnail(const Blob& picture, const Blob& thumb) {
  Blob tiff = {'I', 'I', 42, 0, 8, 0, 0, 0,  // little-endian TIFF header, IFD0 at 8
               0, 0, 14, 0, 0, 0,            // IFD0: no entries, IFD1 at 14
               2, 0};                        // IFD1: two entries
  auto entry = [&](u16 tag, u32 value) {
    const unsigned char e[12] = {static_cast<unsigned char>(tag), static_cast<unsigned char>(tag >> 8), 4, 0, 1, 0, 0, 0,
                                 static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                 static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    tiff.insert(tiff.end(), e, e + 12);
  };
  const u32 thumbAt = 16 + 2 * 12 + 4;
  entry(0x0201, thumbAt);
  entry(0x0202, static_cast<u32>(thumb.size()));
  tiff.insert(tiff.end(), 4, 0);  // no IFD2
  tiff.insert(tiff.end(), thumb.begin(), thumb.end());
  const size_t segment = 2 + 6 + tiff.size();
  Blob out = {0xFF, 0xD8, 0xFF, 0xE1, static_cast<unsigned char>(segment >> 8), static_cast<unsigned char>(segment),
              'E', 'x', 'i', 'f', 0, 0};
  out.insert(out.end(), tiff.begin(), tiff.end());
  out.insert(out.end(), picture.begin() + 2, picture.end());  // the picture without its SOI
  return out;
}

// An APE tag with its header: header, one item, footer (32 + items + 32).
Blob ApeTag() {
  Blob item = {5, 0, 0, 0, 0, 0, 0, 0, 'T', 'i', 't', 'l', 'e', 0, 'H', 'e', 'l', 'l', 'o'};
  auto block = [&](bool header) {
    Blob b(32, 0);
    std::memcpy(b.data(), "APETAGEX", 8);
    b[8] = 0xD0, b[9] = 0x07;  // version 2000
    const u32 size = static_cast<u32>(item.size() + 32), flags = header ? 0xA0000000u : 0x80000000u;
    std::memcpy(&b[12], &size, 4);
    b[16] = 1;  // one item
    std::memcpy(&b[20], &flags, 4);
    return b;
  };
  Blob out = block(true);
  out.insert(out.end(), item.begin(), item.end());
  Blob footer = block(false);
  out.insert(out.end(), footer.begin(), footer.end());
  return out;
}

class ExactLength : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string dir = testfiles::FreshDir("carve-exact-media");
    const std::string cd = "cd '" + dir + "' && ";
    const std::string im = "/usr/bin/convert -size 1024x768 -seed 11 plasma:fractal -quality 88 -strip ";
    const std::string tone = std::string(kFfmpeg) + "-f lavfi -i sine=frequency=523:duration=6 ";
    const std::string video = std::string(kFfmpeg) +
                              "-f lavfi -i testsrc2=size=320x240:rate=15:duration=2 "
                              "-f lavfi -i sine=frequency=330:duration=2 -shortest ";
    const char* steps[][2] = {
        {"base.jpg", "%s base.jpg"},
        {"prog.jpg", "%s -interlace Plane prog.jpg"},
        {"thumb.jpg", "/usr/bin/convert -size 160x120 -seed 5 plasma: -quality 70 -strip thumb.jpg"},
        {"tone.wav", "%T tone.wav"},
        {"ffmpeg.mp3", "%T -c:a libmp3lame -b:a 128k -metadata title=Tone ffmpeg.mp3"},
        {"lame-tags.mp3", "lame --quiet --add-id3v2 --tt Title --ta Artist tone.wav lame-tags.mp3"},
        {"lame-vbr.mp3", "lame --quiet -V 4 --id3v2-only --tt Title tone.wav lame-vbr.mp3"},
        {"lame-noinfo.mp3", "lame --quiet -t --add-id3v2 --tt Title tone.wav lame-noinfo.mp3"},
        {"mpeg2.mp3", "lame --quiet -m m --resample 22.05 -b 32 --id3v2-only --tt Low tone.wav mpeg2.mp3"},
        {"mpeg25.mp3", "lame --quiet -m m --resample 8 -b 16 --id3v2-only --tt Lower tone.wav mpeg25.mp3"},
        {"layer2.mp2", "%T -c:a mp2 -b:a 128k -f mp2 layer2.mp2"},
        {"h264.mp4", "%V -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac h264.mp4"},
        {"fast.mp4", "%V -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -movflags +faststart fast.mp4"},
        {"clip.mov", "%V -c:v mpeg4 -c:a aac clip.mov"},
        {"clip.3gp", "%V -c:v mpeg4 -c:a aac clip.3gp"},
    };
    for (auto& s : steps) {
      std::string cmd = s[1];
      auto subst = [&](const std::string& key, const std::string& value) {
        size_t at = cmd.find(key);
        if (at != std::string::npos) cmd.replace(at, key.size(), value);
      };
      subst("%s", im);
      subst("%T", tone);
      subst("%V", video);
      std::string out;
      if (testfiles::Run(cd + cmd + " 2>&1", &out) != 0) {
        MediaError() += std::string(s[0]) + ": " + out + "\n";
        continue;
      }
      Media()[s[0]] = testfiles::ReadAll(dir + "/" + s[0]);
    }
    if (Media().count("base.jpg") && Media().count("thumb.jpg"))
      Media()["exif.jpg"] = WithExifThumbnail(Media()["base.jpg"], Media()["thumb.jpg"]);
    if (Media().count("layer2.mp2")) {
      // An ID3v2 header with no frames, then the Layer II stream.
      Blob m = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 0};
      m.insert(m.end(), Media()["layer2.mp2"].begin(), Media()["layer2.mp2"].end());
      Media()["layer2.mp3"] = m;
    }
    if (Media().count("lame-vbr.mp3")) {
      Blob m = Media()["lame-vbr.mp3"];
      Blob ape = ApeTag();
      m.insert(m.end(), ape.begin(), ape.end());
      Media()["ape.mp3"] = m;
      const Blob tags = Media()["lame-tags.mp3"];
      m.insert(m.end(), tags.end() - 128, tags.end());  // and an ID3v1 tag after it
      Media()["ape-tag.mp3"] = m;
    }
    testfiles::Run("rm -rf '" + dir + "'");
  }

  void SetUp() override {
    ASSERT_TRUE(MediaError().empty()) << "an encoder failed:\n" << MediaError();
    support = carvetest::UseFreshSupportDir("carve-exact");
    J::ResetPass();
    J::InitCallBack(nullptr, nullptr, nullptr, 90);
  }
  void TearDown() override {
    J::InitCallBack(nullptr, nullptr, nullptr, 0);
    testfiles::Run("rm -rf '" + support + "'");
  }

  static const Blob& File(const std::string& name) {
    static const Blob none;
    auto it = Media().find(name);
    EXPECT_TRUE(it != Media().end()) << name;
    return it == Media().end() ? none : it->second;
  }

  // Noise the old rules took for an end: FF D9 followed by zeros to its
  // sector end, "TAG", MPEG frame syncs, the old MP4 encoder tail; then a PNG
  // sector, so that the old rules stopped somewhere after the file.
  static void PutTrappedNoise(Blob& img, size_t from, size_t sectors, unsigned seed) {
    std::mt19937 rng(seed);
    const size_t end = from + sectors * 512;
    if (img.size() < end + 512) img.resize(end + 512, 0);
    for (size_t i = from; i < end; ++i) img[i] = static_cast<unsigned char>(rng());
    const unsigned char sync[4] = {0xFF, 0xFB, 0x90, 0x64};
    for (size_t s = (from + 511) / 512; (s + 1) * 512 <= end; ++s) {
      unsigned char* p = img.data() + s * 512;
      std::memcpy(p + 40 + rng() % 200, sync, 4);
      std::memcpy(p + 300 + rng() % 100, "TAG", 3);
      if (s % 3 == 0) {  // an accepted JPEG end
        p[500] = 0xFF, p[501] = 0xD9;
        std::memset(p + 502, 0, 10);
      }
      if (s % 7 == 0) std::memcpy(p + 100, "freeIsoMedia File Produced", 26);
    }
    const unsigned char png[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::memcpy(img.data() + end, png, 8);
  }

  // The file at sector `at` of an image: its last sector zero-padded (as a
  // file system leaves it) or, with `tight`, noise straight after its last byte.
  static carvetest::TempImage* Lay(const Blob& file, bool tight, u64 at = 4) {
    const size_t padded = (file.size() + 511) / 512 * 512;
    const size_t sectors = at + padded / 512 + 48;
    carvetest::TempImage* img = new carvetest::TempImage("carve-exact-img", sectors);
    img->Put(at, file);
    if (tight) {
      // Noise from the file's last byte on, its own sector included.
      const size_t from = at * 512 + file.size();
      std::mt19937 rng(99);
      for (size_t i = from; i < at * 512 + padded; ++i) img->bytes[i] = static_cast<unsigned char>(rng());
    }
    PutTrappedNoise(img->bytes, at * 512 + padded, 40, static_cast<unsigned>(file.size()));
    img->bytes.resize(sectors * 512);
    return img;
  }

  // The carved file at `at`: status, name and size from the engine.
  u64 Carve(carvetest::TempImage& img, u64 at, int* status = nullptr, std::string* name = nullptr) {
    img.Write();
    CLogFileManager::GetInstance()->AddDirIndex();  // a scan folder of its own for each store
    CDiskReader reader;
    EXPECT_EQ(0, reader.Init(img.path.c_str(), img.Sectors()));
    CFileTypeRecovery engine;
    std::wstring wide = Utf8ToWide(img.path);
    EXPECT_EQ(0, engine.Init(const_cast<wchar_t*>(wide.c_str()), L'C'));
    u64 skip = 1, files = 0;
    int st = engine.ParseFileBuf(img.At(at), 512, at, 0, img.Sectors(), -1, &reader, 512, skip, files);
    if (status) *status = st;
    FILE_NODE_VECTOR nodes;
    engine.GetChildrenFileNode(nullptr, 0, nodes);
    if (st != 0 || nodes.size() != 1) return 0;
    if (name) *name = nodes[0].szFileName;
    EXPECT_EQ((nodes[0].u64FileSize + 511) / 512, skip) << "the whole file is skipped";
    return nodes[0].u64FileSize;
  }

  // The size rule alone on the file's first sector, the judge pointed at img.
  static u64 Rule(carvetest::TempImage& img, u64 at, J::SIZE_RULE rule, CDiskReader& reader, bool* cap = nullptr) {
    img.Write();
    EXPECT_EQ(0, reader.Init(img.path.c_str(), img.Sectors()));
    carvetest::TestContext ctx(&reader, at);
    const u64 size = rule(ctx, img.At(at), 512);
    if (cap) *cap = ctx.bLengthIsCap;
    return size;
  }

  std::string support;
};

// ---- Real files among noise: the carved length is the file's ----

TEST_F(ExactLength, RealFilesAmongNoiseComeOutWhole) {
  const struct {
    const char* file;
    const char* ext;
  } cases[] = {
      {"base.jpg", "jpg"},      {"prog.jpg", "jpg"},          {"exif.jpg", "jpg"},         {"ffmpeg.mp3", "mp3"},
      {"lame-tags.mp3", "mp3"}, {"lame-vbr.mp3", "mp3"},      {"lame-noinfo.mp3", "mp3"},  {"mpeg2.mp3", "mp3"},
      {"mpeg25.mp3", "mp3"},    {"layer2.mp3", "mp3"},        {"ape.mp3", "mp3"},          {"ape-tag.mp3", "mp3"},
      {"h264.mp4", "mp4"},      {"fast.mp4", "mp4"},          {"clip.mov", "mov"},         {"clip.3gp", "3gp"},
  };
  for (const auto& c : cases) {
    for (bool tight : {false, true}) {
      SCOPED_TRACE(std::string(c.file) + (tight ? " followed by noise" : " in a padded sector"));
      const Blob& file = File(c.file);
      ASSERT_GT(file.size(), 2048u);
      std::unique_ptr<carvetest::TempImage> img(Lay(file, tight));
      int status = -1;
      std::string name;
      EXPECT_EQ(file.size(), Carve(*img, 4, &status, &name));
      EXPECT_EQ(0, status);
      EXPECT_EQ(std::string("4.") + c.ext, name);
    }
  }
}

TEST_F(ExactLength, TheEncodersCountEndsTheFramesBeforeAFrameSyncInTheNoise) {
  // Noise right after the last frame starts with a copy of a real frame
  // header of the same stream: only the VBR header's byte count tells them
  // apart.
  for (const char* name : {"ffmpeg.mp3", "lame-vbr.mp3"}) {
    SCOPED_TRACE(name);
    const Blob& file = File(name);
    std::unique_ptr<carvetest::TempImage> img(Lay(file, true));
    const size_t tag = 10 + ((file[6] & 0x7F) << 21 | (file[7] & 0x7F) << 14 | (file[8] & 0x7F) << 7 | (file[9] & 0x7F));
    // The first frame's header: same version, layer and sample rate.
    const unsigned char* first = file.data() + tag;
    ASSERT_EQ(0xFF, first[0]);
    std::memcpy(img->At(4) + file.size(), first, 4);
    EXPECT_EQ(file.size(), Carve(*img, 4));
  }
}

TEST_F(ExactLength, FilesBackToBackEndWhereTheNextBegins) {
  // A whole-sector MP4 (a trailing free box pads it) right before another
  // MP4, and a JPEG right before a PNG with no gap.
  Blob mp4 = File("h264.mp4");
  const size_t pad = 512 - mp4.size() % 512 + (mp4.size() % 512 > 496 ? 512 : 0);
  Blob freeBox(pad, 0);
  Put32BE(freeBox, 0, static_cast<u32>(pad));
  std::memcpy(&freeBox[4], "free", 4);
  mp4.insert(mp4.end(), freeBox.begin(), freeBox.end());
  ASSERT_EQ(0u, mp4.size() % 512);
  carvetest::TempImage img("carve-exact-b2b", 2 + 2 * mp4.size() / 512 + 20);
  img.Put(2, mp4);
  img.Put(2 + mp4.size() / 512, File("fast.mp4"));
  EXPECT_EQ(mp4.size(), Carve(img, 2));

  const Blob& jpg = File("prog.jpg");
  carvetest::TempImage img2("carve-exact-b2b-jpg", jpg.size() / 512 + 40);
  img2.Put(0, jpg);
  PutTrappedNoise(img2.bytes, jpg.size(), 20, 7);  // noise from the very next byte, in the same sector
  img2.bytes.resize(img2.Sectors() * 512);
  EXPECT_EQ(jpg.size(), Carve(img2, 0));

  // A zip followed by the tail of another (a piece of an archive stored in
  // pieces): the other's end record lies in the same 64 KiB.
  const std::string zipPath = testimg::ImagePath("samples/archive.zip");
  struct stat st {};
  ASSERT_EQ(0, stat(zipPath.c_str(), &st));
  const std::vector<uint8_t> zipBytes = testimg::ReadAt(zipPath, 0, static_cast<size_t>(st.st_size));
  const Blob zip(zipBytes.begin(), zipBytes.end());
  const size_t zipSectors = (zip.size() + 511) / 512;
  carvetest::TempImage img3("carve-exact-b2b-zip", 2 * zipSectors + 20);
  img3.Put(0, zip);
  img3.Put(zipSectors, Blob(zip.begin() + static_cast<long>(zip.size() / 2), zip.end()));
  EXPECT_EQ(zip.size(), Carve(img3, 0));
}

TEST_F(ExactLength, AWholeSectorPassFindsEveryFileAtItsLength) {
  const char* names[] = {"base.jpg", "exif.jpg", "lame-tags.mp3", "ffmpeg.mp3", "h264.mp4",
                         "clip.mov", "prog.jpg", "ape.mp3",       "clip.3gp",   "fast.mp4"};
  Blob all;
  std::vector<std::pair<u64, size_t>> placed;  // start sector, size
  unsigned seed = 1;
  for (const char* n : names) {
    const Blob& f = File(n);
    PutTrappedNoise(all, all.size(), 3 + seed % 5, seed);  // noise, then a PNG sector, before each file
    all.resize(all.size() + 1024, 0);                      // the PNG's sector and one more
    placed.push_back({all.size() / 512, f.size()});
    all.insert(all.end(), f.begin(), f.end());
    all.resize((all.size() + 511) / 512 * 512, 0);
    ++seed;
  }
  PutTrappedNoise(all, all.size(), 8, 77);
  all.resize((all.size() + 511) / 512 * 512 + 512, 0);
  carvetest::TempImage img("carve-exact-pass", all.size() / 512);
  img.bytes = all;
  img.Write();
  CDiskReader reader;
  ASSERT_EQ(0, reader.Init(img.path.c_str(), img.Sectors()));
  CFileTypeRecovery engine;
  std::wstring wide = Utf8ToWide(img.path);
  ASSERT_EQ(0, engine.Init(const_cast<wchar_t*>(wide.c_str()), L'C'));
  carvetest::RunSectorPass(engine, reader, 0, img.Sectors());
  FILE_NODE_VECTOR nodes;
  engine.GetChildrenFileNode(nullptr, 0, nodes);
  std::map<u64, u64> found;
  for (const auto& n : nodes) found[n.u64RecordSector] = n.u64FileSize;
  for (size_t i = 0; i < placed.size(); ++i) {
    SCOPED_TRACE(names[i]);
    ASSERT_TRUE(found.count(placed[i].first)) << "not carved at sector " << placed[i].first;
    EXPECT_EQ(placed[i].second, found[placed[i].first]);
  }
}

// ---- Damaged structure: the old rules decide, and nothing is read out of bounds ----

TEST_F(ExactLength, JpegWithoutFollowableSegmentsFallsBackToTheLastAcceptedEnd) {
  // Padded in its sector: the old rule takes the last accepted FF D9 before
  // the PNG, which the trapped noise supplies.
  Blob jpg = File("base.jpg");
  const size_t dqt = 20;  // after SOI and the 16-byte JFIF APP0
  ASSERT_EQ(0xFF, jpg[dqt]);
  ASSERT_EQ(0xDB, jpg[dqt + 1]);
  jpg[dqt] = 0x00;  // the table's marker is gone
  std::unique_ptr<carvetest::TempImage> img(Lay(jpg, false));
  const size_t fileSectors = (jpg.size() + 511) / 512;
  // Trapped sectors are those divisible by 3 among the 40 after the file.
  u64 lastTrap = 0;
  for (u64 s = 4 + fileSectors; s < 4 + fileSectors + 40; ++s)
    if (s % 3 == 0) lastTrap = s;
  CDiskReader reader;
  EXPECT_EQ((lastTrap - 4) * 512 + 502, Rule(*img, 4, carvefmt::GetJPGFileBytesSize, reader));

  // A picture with tables but no scan: its EOI is no end, the old rule decides.
  carvetest::TempImage noScan("carve-exact-noscan", 16);
  const unsigned char head[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0,
                                0xFF, 0xDB, 0x00, 0x04, 0x00, 0x01, 0xFF, 0xD9};
  std::memset(noScan.At(0), 0x41, 512);  // so that its FF D9 is no accepted end either
  noScan.Put(0, head, sizeof(head));
  std::memset(noScan.At(1), 0x41, 512);
  noScan.At(5)[300] = 0xFF;  // an accepted end three sectors on
  noScan.At(5)[301] = 0xD9;
  const unsigned char png[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  noScan.Put(9, png, 8);
  EXPECT_EQ(5u * 512 + 302, Rule(noScan, 0, carvefmt::GetJPGFileBytesSize, reader));

  // A first sector alone, shorter than a sector and with no reader: one sector.
  carvetest::TestContext ctx2(nullptr, 0);
  Blob cut(File("prog.jpg").begin(), File("prog.jpg").begin() + 40);
  EXPECT_EQ(512u, carvefmt::GetJPGFileBytesSize(ctx2, cut.data(), static_cast<int>(cut.size())));
  EXPECT_EQ(512u, carvefmt::GetJPGFileBytesSize(ctx2, nullptr, 512));
}

TEST_F(ExactLength, TruncatedFilesEndWithTheRange) {
  // Each file cut at least 3000 bytes short by the end of the scanned range.
  const struct {
    const char* name;
    J::SIZE_RULE rule;
  } cases[] = {{"prog.jpg", carvefmt::GetJPGFileBytesSize},
               {"ffmpeg.mp3", carvefmt::GetMP3FileBytesSize},
               {"fast.mp4", carvefmt::GetMP4FileBytesSize},
               {"h264.mp4", carvefmt::GetMP4FileBytesSize},
               {"clip.mov", carvefmt::GetISOMediaFileBytesSize}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Blob& file = File(c.name);
    const size_t keep = (file.size() - 3000) / 512 * 512;
    carvetest::TempImage img("carve-exact-cut", 2 + keep / 512);
    img.Put(2, file.data(), keep);
    CDiskReader reader;
    EXPECT_EQ(keep, Rule(img, 2, c.rule, reader));
  }
}

TEST_F(ExactLength, Mp3WithoutARunOfFramesFallsBackToItsLastTag) {
  const Blob& file = File("ffmpeg.mp3");
  const size_t tag = 10 + ((file[6] & 0x7F) << 21 | (file[7] & 0x7F) << 14 | (file[8] & 0x7F) << 7 | (file[9] & 0x7F));
  // The tag and three frames (too few to trust), then zeros, "TAG" in sector
  // 30 of the file, a PNG at 40.
  const size_t frame = 417;  // 128 kbit/s at 44.1 kHz without padding
  carvetest::TempImage img("carve-exact-mp3-few", 60);
  img.Put(0, file.data(), tag + 3 * frame);
  std::memcpy(img.At(30) + 200, "TAG", 3);
  const unsigned char png[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  img.Put(40, png, 8);
  CDiskReader reader;
  EXPECT_EQ(30u * 512 + 200 + 128, Rule(img, 0, carvefmt::GetMP3FileBytesSize, reader));

  // A tag size pointing far past everything: the frames are never reached.
  img.At(0)[6] = 0x7F, img.At(0)[7] = 0x7F, img.At(0)[8] = 0x7F, img.At(0)[9] = 0x7F;
  EXPECT_EQ(30u * 512 + 200 + 128, Rule(img, 0, carvefmt::GetMP3FileBytesSize, reader));

  // Frames whose header changes layer after the ninth: the walk ends there,
  // before the zeros, "TAG" and PNG. (128 kbit/s at 44.1 kHz: 417 bytes a
  // frame, one more with the padding bit.)
  size_t tenth = tag;
  for (int k = 0; k < 9; ++k) {
    ASSERT_EQ(0xFF, file[tenth]);
    ASSERT_EQ(0x90, file[tenth + 2] & 0xFC) << "128 kbit/s, 44.1 kHz";
    tenth += frame + ((file[tenth + 2] >> 1) & 1);
  }
  carvetest::TempImage mixed("carve-exact-mp3-mixed", 60);
  mixed.Put(0, file.data(), tenth + 3 * frame);
  mixed.At(0)[tenth + 1] ^= 0x06;  // Layer III -> Layer I
  EXPECT_EQ(tenth, Rule(mixed, 0, carvefmt::GetMP3FileBytesSize, reader));
}

TEST_F(ExactLength, IsoBoxesThatCannotBeFollowedFallBack) {
  const Blob& mp4 = File("h264.mp4");
  // Offsets of the top-level boxes of the encoder's file (ftyp, free, mdat, moov).
  std::vector<size_t> boxes;
  for (size_t pos = 0; pos + 8 <= mp4.size();) {
    boxes.push_back(pos);
    const size_t size = static_cast<size_t>(mp4[pos]) << 24 | mp4[pos + 1] << 16 | mp4[pos + 2] << 8 | mp4[pos + 3];
    ASSERT_GE(size, 8u);
    pos += size;
  }
  ASSERT_GE(boxes.size(), 3u);
  size_t mdat = 0;
  for (size_t b : boxes)
    if (std::memcmp(&mp4[b + 4], "mdat", 4) == 0) mdat = b;
  ASSERT_NE(0u, mdat);
  const size_t png = (mp4.size() + 511) / 512 + 4 + 10;  // sector of the PNG in the image
  auto expectOldRule = [&](Blob damaged, const char* what) {
    SCOPED_TRACE(what);
    carvetest::TempImage img("carve-exact-iso", png + 8);
    img.Put(4, damaged);
    const unsigned char head[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    img.Put(png, head, 8);
    CDiskReader reader;
    EXPECT_EQ((png - 4) * 512, Rule(img, 4, carvefmt::GetMP4FileBytesSize, reader)) << "runs on to the next file";
  };
  Blob b = mp4;
  Put32BE(b, mdat, 0);  // the media data runs to the end of the container
  expectOldRule(b, "size 0");
  b = mp4;
  Put32BE(b, mdat, 1);  // a 64-bit size of 1 TiB, past the maximum
  Blob large = {0, 0, 1, 0, 0, 0, 0, 0};
  std::memcpy(&b[mdat + 8], large.data(), 8);
  expectOldRule(b, "largesize past the maximum");
  b = mp4;
  std::memcpy(&b[mdat + 4], "\x01\x02\x03\x04", 4);  // not a box: the movie box is never reached
  expectOldRule(b, "unknown box type");

  // The movie box seen, then a box size that stops short of 8 bytes: the
  // file ends after the last good box.
  const Blob& fast = File("fast.mp4");
  size_t second = static_cast<size_t>(fast[0]) << 24 | fast[1] << 16 | fast[2] << 8 | fast[3];
  size_t third = second + (static_cast<size_t>(fast[second]) << 24 | fast[second + 1] << 16 |
                           fast[second + 2] << 8 | fast[second + 3]);
  ASSERT_EQ(0, std::memcmp(&fast[second + 4], "moov", 4));
  b = fast;
  Put32BE(b, third, 4);
  carvetest::TempImage img("carve-exact-iso-short", b.size() / 512 + 30);
  img.Put(0, b);
  CDiskReader reader;
  EXPECT_EQ(third, Rule(img, 0, carvefmt::GetMP4FileBytesSize, reader));
  EXPECT_EQ(third, Rule(img, 0, carvefmt::GetISOMediaFileBytesSize, reader));
}

// ---- The read-ahead keeps the scan's progress and cancellation ----

int CancelNow(void*, int, int, int, u64, u64, u64, wchar_t*) { return RECOVERY_CANCELLED; }
struct Calls {
  int n = 0;
};
int Count(void* p, int, int percent, int, u64, u64, u64, wchar_t*) {
  EXPECT_EQ(90, percent);
  ++static_cast<Calls*>(p)->n;
  return 0;
}

TEST_F(ExactLength, MeasuringReportsProgressAndStopsOnCancel) {
  for (const char* name : {"base.jpg", "ffmpeg.mp3", "h264.mp4"}) {
    SCOPED_TRACE(name);
    const Blob& file = File(name);
    ASSERT_GT(file.size(), 65536u + 512);
    std::unique_ptr<carvetest::TempImage> img(Lay(file, false));
    Calls calls;
    J::InitCallBack(Count, nullptr, &calls, 90);
    EXPECT_EQ(file.size(), Carve(*img, 4));
    EXPECT_GE(calls.n, static_cast<int>((file.size() - 512) / 65536)) << "one call per 64 KiB read ahead";
    J::InitCallBack(CancelNow, nullptr, nullptr, 90);
    int status = 0;
    EXPECT_EQ(0u, Carve(*img, 4, &status));
    EXPECT_EQ(RECOVERY_CANCELLED, status);
  }
}

}  // namespace
