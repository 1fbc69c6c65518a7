// FAT ground truth checked against mtools, which reads the volumes on its own.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "ImagesCommon.h"

using namespace testimg;
using imgcheck::CommandSucceeds;
using imgcheck::HashOfCommand;

namespace {

// mtools addresses a volume inside a disk as image@@byteoffset.
std::string MtoolsImage(const std::string& image, uint64_t startSector) {
  std::string s = ImagePath(image);
  if (startSector) s += "@@" + std::to_string(startSector * 512);
  return ShellQuote(s);
}

// Every live file reads back through mtype with the listed hash; every deleted one
// is gone for mtools; contiguous files sit where the manifest says.
void CheckFatFiles(const std::string& image, const std::vector<ManifestFile>& files, uint64_t startSector) {
  const std::string img = MtoolsImage(image, startSector);
  int live = 0, deleted = 0;
  for (const auto& f : files) {
    const std::string target = ShellQuote("::" + f.Path());
    if (f.state == "live") {
      ++live;
      size_t size = 0;
      EXPECT_EQ(HashOfCommand("mtype -i " + img + " " + target, &size), f.sha256) << image << " " << f.Path();
      EXPECT_EQ(size, f.size) << image << " " << f.Path();
      if (f.Contiguous()) imgcheck::ExpectBytesAtFirstSector(ImagePath(image), f);
    } else {
      ASSERT_EQ(f.state, "deleted") << f.Path();
      ++deleted;
      EXPECT_FALSE(CommandSucceeds("mdir -i " + img + " " + target)) << image << " still lists " << f.Path();
      if (f.Contiguous() && !f.HasTag("overwritten")) imgcheck::ExpectBytesAtFirstSector(ImagePath(image), f);
    }
  }
  EXPECT_GT(live, 0) << image;
  EXPECT_GT(deleted, 0) << image;
}

void CheckStandardLayout(const std::string& image, int manyFiles) {
  Manifest m = LoadManifest(image);
  CheckFatFiles(image, m.files, 0);
  // The layout engines rely on: names, deleted folder, big folder, fragments.
  for (const char* p : {"/README.TXT", "/Documents/Фото_été.jpg", "/Documents/日本語.txt",
                        "/Documents/Quarterly Report 2020 (final).pdf",
                        "/Documents/Deep/Nested/Folder/Path/deep notes.txt", "/Frag/fragmented live.jpg"}) {
    const ManifestFile* f = m.Find(p);
    ASSERT_NE(f, nullptr) << p;
    EXPECT_EQ(f->state, "live") << p;
  }
  for (const char* p : {"/Trash Folder/Sub Folder/report copy.pdf", "/Trash Folder/camera.jpg",
                        "/Frag/fragmented deleted.jpg", "/KEEP.DOC"}) {
    const ManifestFile* f = m.Find(p);
    ASSERT_NE(f, nullptr) << p;
    EXPECT_EQ(f->state, "deleted") << p;
  }
  EXPECT_FALSE(CommandSucceeds("mdir -i " + MtoolsImage(image, 0) + " '::/Trash Folder'"));
  EXPECT_GT(m.Find("/Frag/fragmented live.jpg")->fragments, 1);
  EXPECT_GT(m.Find("/Frag/fragmented deleted.jpg")->fragments, 1);
  int many = 0, manyDeleted = 0;
  for (const auto& f : m.files)
    if (f.folder == "/Many Files") {
      ++many;
      manyDeleted += f.state == "deleted";
    }
  EXPECT_EQ(many, manyFiles);
  EXPECT_EQ(manyDeleted, (manyFiles + 2) / 3);
  // mdir sees exactly the live files of the big folder.
  std::string listing = RunCommand(imgcheck::Tool("mdir -b -i " + MtoolsImage(image, 0) + " '::/Many Files'"));
  size_t lines = 0;
  for (char c : listing) lines += c == '\n';
  EXPECT_EQ(lines, static_cast<size_t>(many - manyDeleted));
  // The big folder must span more than one cluster.
  const uint64_t dirBytes = static_cast<uint64_t>(many) * 64;
  EXPECT_GT(dirBytes, m.clusterBytes);
  // The boot sector agrees with the manifest's geometry.
  auto bs = ReadAt(ImagePath(image), 0, 512);
  ASSERT_EQ(bs.size(), 512u);
  EXPECT_EQ(uint32_t(bs[11] | (bs[12] << 8)) * bs[13], m.clusterBytes);
  EXPECT_EQ(bs[510], 0x55);
  EXPECT_EQ(bs[511], 0xAA);
}

}  // namespace

TEST(TestimagesFat, Fat12) {
  CheckStandardLayout("fat12.img", 120);
  EXPECT_EQ(LoadManifest("fat12.img").info.at("fatBits"), "12");
}
TEST(TestimagesFat, Fat16) {
  CheckStandardLayout("fat16.img", 300);
  EXPECT_EQ(LoadManifest("fat16.img").info.at("fatBits"), "16");
}
TEST(TestimagesFat, Fat32) {
  CheckStandardLayout("fat32.img", 300);
  Manifest m = LoadManifest("fat32.img");
  EXPECT_EQ(m.info.at("fatBits"), "32");
  EXPECT_EQ(m.clusterBytes, 512u);
}

// FAT16 with 64 KiB clusters: 128 sectors per cluster in the boot sector.
TEST(TestimagesFat, Fat16With64KiBClusters) {
  Manifest m = LoadManifest("fat64k.img");
  CheckFatFiles("fat64k.img", m.files, 0);
  EXPECT_EQ(m.clusterBytes, 65536u);
  EXPECT_EQ(ReadAt(ImagePath("fat64k.img"), 13, 1)[0], 128);
  EXPECT_FALSE(CommandSucceeds("mdir -i " + MtoolsImage("fat64k.img", 0) + " '::/Trash Folder'"));
}

TEST(TestimagesFat, Demo) {
  Manifest m = LoadManifest("demo.img");
  CheckFatFiles("demo.img", m.files, 0);
  std::set<std::string> deletedTypes;
  for (const auto& f : m.Files("deleted")) deletedTypes.insert(f.type);
  for (const char* t : {"jpg", "png", "pdf", "docx", "txt"}) EXPECT_TRUE(deletedTypes.count(t)) << t;
}

TEST(TestimagesFat, FatPartitionsOfDisks) {
  struct Disk {
    const char* image;
  };
  for (const char* image : {"mbr.img", "gpt.img", "apple.img", "mbr-loop.img", "gpt4k.img"}) {
    Manifest m = LoadManifest(image);
    int checked = 0;
    for (const auto& p : m.partitions) {
      if (p.fs.rfind("fat", 0) != 0) continue;
      ++checked;
      auto files = m.FilesOfPartition(p.index);
      ASSERT_FALSE(files.empty()) << image << " p" << p.index;
      const std::string img = MtoolsImage(image, p.firstSector);
      for (const auto& f : files) {
        EXPECT_GE(f.firstSector, static_cast<int64_t>(p.firstSector));
        EXPECT_LE(f.firstSector, static_cast<int64_t>(p.lastSector));
        if (f.state == "live") {
          EXPECT_EQ(HashOfCommand("mtype -i " + img + " " + ShellQuote("::" + f.Path())), f.sha256)
              << image << " p" << p.index << " " << f.Path();
        } else {
          EXPECT_FALSE(CommandSucceeds("mdir -i " + img + " " + ShellQuote("::" + f.Path())));
        }
        if (f.Contiguous()) imgcheck::ExpectBytesAtFirstSector(ImagePath(image), f);
      }
      // The per-partition manifest holds the same files.
      Manifest pm = LoadManifest(std::string(image) + ".p" + std::to_string(p.index));
      EXPECT_EQ(pm.files.size(), files.size());
      EXPECT_EQ(pm.volumeStartSector, p.firstSector);
    }
    EXPECT_GT(checked, 0) << image;
  }
}
