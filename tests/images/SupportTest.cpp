#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/TestImages.h"

using namespace testimg;

TEST(TestimagesSupport, Sha256KnownVectors) {
  EXPECT_EQ(Sha256Bytes("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Bytes("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(Sha256Bytes(two.data(), two.size()),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  std::string million(1000000, 'a');
  EXPECT_EQ(Sha256Bytes(million.data(), million.size()),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(TestimagesSupport, Sha256FileMatchesSha256sum) {
  std::string dir = MakeTempDir("sha");
  std::string path = dir + "/x.bin";
  {
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < 100000; ++i) out.put(static_cast<char>(i * 7 + (i >> 8)));
  }
  std::string ref = RunCommand("sha256sum " + ShellQuote(path)).substr(0, 64);
  EXPECT_EQ(Sha256File(path), ref);
  RemoveTree(dir);
}

TEST(TestimagesSupport, ManifestParsing) {
  std::string dir = MakeTempDir("manifest");
  std::ofstream(dir + "/.stamp") << "a stamp, so no images get built here\n";
  {
    std::ofstream out(dir + "/x.img.manifest");
    out << "# comment\ninfo\timage\tx.img\ninfo\tfs\tfat16\ninfo\tvolumeStartSector\t2048\n"
           "info\tclusterBytes\t2048\n"
           "file\tdeleted\t/A b\tФото.jpg\t12\t" << std::string(64, 'a') << "\t4100\tjpg\tsamples/photo.jpg\t"
           "fragmented;mft=3\t2\t1\n"
           "part\t1\t2048\t4095\t0x06\t\tfat16\n";
  }
  setenv("TORVANE_TEST_IMAGES", dir.c_str(), 1);
  Manifest m = LoadManifest("x.img");
  unsetenv("TORVANE_TEST_IMAGES");
  EXPECT_EQ(m.fs, "fat16");
  EXPECT_EQ(m.volumeStartSector, 2048u);
  EXPECT_EQ(m.clusterBytes, 2048u);
  ASSERT_EQ(m.files.size(), 1u);
  EXPECT_EQ(m.files[0].Path(), "/A b/Фото.jpg");
  EXPECT_EQ(m.files[0].firstSector, 4100);
  EXPECT_EQ(m.files[0].samplePath, dir + "/samples/photo.jpg");
  EXPECT_TRUE(m.files[0].HasTag("fragmented"));
  EXPECT_FALSE(m.files[0].HasTag("frag"));
  EXPECT_EQ(m.files[0].fragments, 2);
  EXPECT_EQ(m.files[0].partition, 1);
  ASSERT_EQ(m.partitions.size(), 1u);
  EXPECT_EQ(m.partitions[0].lastSector, 4095u);
  EXPECT_EQ(m.partitions[0].type, "0x06");
  RemoveTree(dir);
}
