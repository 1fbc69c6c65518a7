// NTFS ground truth checked against ntfs-3g's own tools (ntfscat, ntfsls).
#include <gtest/gtest.h>

#include <string>

#include "ImagesCommon.h"

using namespace testimg;
using imgcheck::CommandSucceeds;
using imgcheck::HashOfCommand;

namespace {

std::string CatCommand(const std::string& image, const ManifestFile& f) {
  std::string path = f.Path();
  size_t colon = f.name.find(':');
  if (colon != std::string::npos) {
    std::string stream = f.name.substr(colon + 1);
    path = path.substr(0, path.size() - stream.size() - 1);
    return "ntfscat -a 0x80 -n " + ShellQuote(stream) + " " + ShellQuote(image) + " " + ShellQuote(path);
  }
  return "ntfscat " + ShellQuote(image) + " " + ShellQuote(path);
}

void CheckNtfsFiles(const std::string& volumeImage, const std::string& diskImage,
                    const std::vector<ManifestFile>& files) {
  int live = 0, deleted = 0;
  for (const auto& f : files) {
    if (f.state == "live") {
      ++live;
      size_t size = 0;
      EXPECT_EQ(HashOfCommand(CatCommand(volumeImage, f), &size), f.sha256) << f.Path();
      EXPECT_EQ(size, f.size) << f.Path();
    } else {
      ++deleted;
      EXPECT_EQ(HashOfCommand(CatCommand(volumeImage, f)), "") << f.Path() << " still readable";
    }
    if (f.Contiguous() && !f.HasTag("overwritten")) imgcheck::ExpectBytesAtFirstSector(diskImage, f);
  }
  EXPECT_GT(live, 0);
  EXPECT_GT(deleted, 0);
}

}  // namespace

TEST(TestimagesNtfs, FilesMatchNtfscat) {
  Manifest m = LoadManifest("ntfs.img");
  EXPECT_EQ(m.clusterBytes, 4096u);
  CheckNtfsFiles(ImagePath("ntfs.img"), ImagePath("ntfs.img"), m.files);
  // The streams of a deleted file, which ntfscat no longer reaches, as
  // sleuthkit reads them from the freed record: istat names the attribute
  // ("Type: $DATA (128-4)   Name: note"), icat gives its bytes.
  int streams = 0;
  for (const auto& f : m.Files("deleted")) {
    size_t colon = f.name.find(':');
    size_t at = f.note.find("mft=");
    if (colon == std::string::npos || at == std::string::npos) continue;
    std::string record = std::to_string(std::stoul(f.note.substr(at + 4)));
    std::string img = ShellQuote(ImagePath("ntfs.img"));
    std::string attrs = RunCommand(imgcheck::Tool("istat " + img + " " + record));
    size_t name = attrs.find("Name: " + f.name.substr(colon + 1) + " ");
    ASSERT_NE(name, std::string::npos) << f.Path() << "\n" << attrs;
    size_t open = attrs.rfind("(128-", name);
    ASSERT_NE(open, std::string::npos);
    std::string id = attrs.substr(open + 5, attrs.find(')', open) - open - 5);
    EXPECT_EQ(HashOfCommand("icat " + img + " " + record + "-128-" + id), f.sha256) << f.Path();
    ++streams;
  }
  EXPECT_EQ(streams, 2);
}

// mkntfs -c 65536 and -c 2097152: 0x80 and 0xF4 (2^12 sectors) at byte 0x0D.
TEST(TestimagesNtfs, LargeClusterVolumesMatchNtfscat) {
  for (const auto& [name, code] : {std::make_pair("ntfs64k.img", 0x80), std::make_pair("ntfs2m.img", 0xF4)}) {
    SCOPED_TRACE(name);
    Manifest m = LoadManifest(name);
    CheckNtfsFiles(ImagePath(name), ImagePath(name), m.files);
    EXPECT_EQ(ReadAt(ImagePath(name), 13, 1)[0], code);
  }
}

TEST(TestimagesNtfs, LayoutHasWhatEnginesNeed) {
  Manifest m = LoadManifest("ntfs.img");
  const ManifestFile* resident = m.Find("/README.txt");
  ASSERT_NE(resident, nullptr);
  EXPECT_TRUE(resident->HasTag("resident"));
  EXPECT_EQ(resident->firstSector, -1);
  const ManifestFile* big = m.Find("/Big/large random.bin");
  ASSERT_NE(big, nullptr);
  EXPECT_GE(big->size, 2u * 1024 * 1024);
  const ManifestFile* ads = m.Find("/Documents/with stream.txt:hidden notes");
  ASSERT_NE(ads, nullptr);
  EXPECT_EQ(ads->state, "live");
  const ManifestFile* fragLive = m.Find("/Frag/fragmented live.jpg");
  const ManifestFile* fragDeleted = m.Find("/Frag/fragmented deleted.bin");
  ASSERT_NE(fragLive, nullptr);
  ASSERT_NE(fragDeleted, nullptr);
  EXPECT_GT(fragLive->fragments, 2);
  EXPECT_GT(fragDeleted->fragments, 2);
  EXPECT_EQ(fragDeleted->state, "deleted");
  // ntfsls lists names the manifest has, non-ASCII ones included.
  std::string root = RunCommand(imgcheck::Tool("ntfsls " + ShellQuote(ImagePath("ntfs.img")) + " -p /Photos"));
  EXPECT_NE(root.find("Фото_été.jpg"), std::string::npos) << root;
  std::string docs = RunCommand(imgcheck::Tool("ntfsls " + ShellQuote(ImagePath("ntfs.img")) + " -p /Documents"));
  EXPECT_NE(docs.find("日本語.txt"), std::string::npos) << docs;
  EXPECT_EQ(docs.find("letter to the bank.docx"), std::string::npos) << docs;
  EXPECT_FALSE(CommandSucceeds("ntfsls " + ShellQuote(ImagePath("ntfs.img")) + " -p '/Trash Folder'"));
  int inDeletedFolder = 0;
  for (const auto& f : m.files) inDeletedFolder += f.HasTag("in-deleted-folder");
  EXPECT_GE(inDeletedFolder, 3);
}

TEST(TestimagesNtfs, NtfsPartitionOfMbrDisk) {
  Manifest m = LoadManifest("mbr.img");
  const ManifestPartition* part = nullptr;
  for (const auto& p : m.partitions)
    if (p.fs == "ntfs") part = &p;
  ASSERT_NE(part, nullptr);
  // ntfs-3g's tools want the volume on its own, so cut it out of the disk.
  std::string dir = MakeTempDir("ntfspart");
  std::string vol = dir + "/vol.img";
  int rc = 0;
  RunCommand("dd if=" + ShellQuote(ImagePath("mbr.img")) + " of=" + ShellQuote(vol) + " bs=512 skip=" +
                 std::to_string(part->firstSector) +
                 " count=" + std::to_string(part->lastSector - part->firstSector + 1) + " status=none",
             &rc);
  ASSERT_EQ(rc, 0);
  auto files = m.FilesOfPartition(part->index);
  ASSERT_FALSE(files.empty());
  CheckNtfsFiles(vol, ImagePath("mbr.img"), files);
  // The volume's boot sector records where it starts on the disk.
  auto bs = ReadAt(vol, 0, 512);
  ASSERT_EQ(bs.size(), 512u);
  EXPECT_EQ(std::string(bs.begin() + 3, bs.begin() + 7), "NTFS");
  uint32_t hidden = bs[0x1C] | (bs[0x1D] << 8) | (bs[0x1E] << 16) | (uint32_t(bs[0x1F]) << 24);
  EXPECT_EQ(hidden, part->firstSector);
  RemoveTree(dir);
}
