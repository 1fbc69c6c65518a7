// Files as today's phones, cameras and tools write them (tools/mkimages/
// modern.py, manifest type = the extension they are carved as): each one
// whole among noise, right before another file, and before zeros; a cut copy
// is carved with its length flagged as a bound.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "TestImages.h"
#include "carve/CarveTestUtil.h"
#include "carve/FileTypeJudge.h"
#include "engine/TextUtil.h"

namespace {

typedef CFileTypeJudge J;
typedef std::vector<unsigned char> Blob;

struct CARVE_RESULT {
  int status = -1;
  std::string name;
  u64 size = 0;
  bool cap = false;
};

class ModernFormats : public ::testing::Test {
 protected:
  void SetUp() override {
    manifest = testimg::LoadManifest("modern");
    ASSERT_GE(manifest.files.size(), 15u);
    support = carvetest::UseFreshSupportDir("carve-modern");
    J::ResetPass();
    J::InitCallBack(nullptr, nullptr, nullptr, 90);
  }
  void TearDown() override { testfiles::Run("rm -rf '" + support + "'"); }

  Blob File(const testimg::ManifestFile& f) { return testfiles::ReadAll(testimg::ImagesDir() + "/modern/" + f.name); }

  // The carving engine's answer for the sector `at` of an image of these bytes.
  CARVE_RESULT Carve(Blob bytes, u64 at) {
    bytes.resize((bytes.size() + 511) / 512 * 512, 0);
    carvetest::TempImage img("carve-modern-img", bytes.size() / 512);
    img.bytes = bytes;
    img.Write();
    CLogFileManager::GetInstance()->AddDirIndex();
    CDiskReader reader;
    EXPECT_EQ(0, reader.Init(img.path.c_str(), img.Sectors()));
    CFileTypeRecovery engine;
    std::wstring wide = Utf8ToWide(img.path);
    EXPECT_EQ(0, engine.Init(const_cast<wchar_t*>(wide.c_str()), L'C'));
    CARVE_RESULT r;
    u64 skip = 1, files = 0;
    r.status = engine.ParseFileBuf(img.At(at), 512, at, 0, img.Sectors(), -1, &reader, 512, skip, files);
    r.cap = J::Pass().bLastLengthIsCap;
    FILE_NODE_VECTOR nodes;
    engine.GetChildrenFileNode(nullptr, 0, nodes);
    if (r.status == 0 && nodes.size() == 1) {
      r.name = nodes[0].szFileName;
      r.size = nodes[0].u64FileSize;
    }
    testfiles::Run("rm -rf '" + img.dir + "'");
    return r;
  }

  static void Noise(Blob& b, size_t bytes, unsigned seed) {
    std::mt19937 rng(seed);
    for (size_t i = 0; i < bytes; ++i) b.push_back(static_cast<unsigned char>(rng()));
  }
  static void NoiseToSectorEnd(Blob& b, unsigned seed) { Noise(b, (512 - b.size() % 512) % 512, seed); }

  testimg::Manifest manifest;
  std::string support;
};

TEST_F(ModernFormats, EachFileComesBackWholeAmongNoiseBeforeAnotherFileAndBeforeZeros) {
  for (size_t k = 0; k < manifest.files.size(); ++k) {
    const testimg::ManifestFile& f = manifest.files[k];
    SCOPED_TRACE(f.name);
    const Blob file = File(f);
    ASSERT_EQ(f.size, file.size());
    const Blob next = File(manifest.files[(k + 1) % manifest.files.size()]);

    Blob noisy;
    Noise(noisy, 4 * 512, 1);
    noisy.insert(noisy.end(), file.begin(), file.end());
    Noise(noisy, 40 * 512, static_cast<unsigned>(k) + 2);  // from the file's last byte on
    CARVE_RESULT r = Carve(noisy, 4);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("4." + f.type, r.name);
    // Text has no end of its own: noise that reads as text for a few bytes
    // after its last line is told apart (see text.cpp).
    EXPECT_EQ(file.size(), r.size) << "among noise";
    EXPECT_FALSE(r.cap);

    Blob pair = file;
    NoiseToSectorEnd(pair, 3);
    pair.insert(pair.end(), next.begin(), next.end());
    pair.resize(pair.size() + 8 * 512, 0);
    r = Carve(pair, 0);
    EXPECT_EQ("0." + f.type, r.name);
    EXPECT_EQ(file.size(), r.size) << "before another file";

    Blob zeros = file;
    zeros.resize(file.size() + 40 * 512, 0);
    r = Carve(zeros, 0);
    EXPECT_EQ(file.size(), r.size) << "before zeros";
    EXPECT_FALSE(r.cap);
  }
}

TEST_F(ModernFormats, CutCopiesAreCarvedWithTheirLengthFlaggedAsABound) {
  int cut = 0;
  for (const testimg::ManifestFile& f : manifest.files) {
    if (f.size < 2048) continue;  // too small to cut a sector-aligned part off
    SCOPED_TRACE(f.name);
    const Blob file = File(f);
    const Blob half(file.begin(), file.begin() + static_cast<long>(file.size() / 2 / 512 * 512));
    CARVE_RESULT r = Carve(half, 0);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("0." + f.type, r.name);
    EXPECT_LE(r.size, file.size());
    EXPECT_TRUE(r.cap) << "a cut copy measured " << r.size << " of " << file.size() << " as whole";
    ++cut;
  }
  EXPECT_GE(cut, 10);
}

}  // namespace
