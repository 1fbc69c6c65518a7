// Damaged copies of the builder's FAT, exFAT, NTFS and whole-disk images, each
// scanned end to end by `torvane scan --recover`: random sectors, flipped
// metadata bytes, circular FAT chains and runlists, folders that are their
// own parents, and sizes made huge. Every scan must end by itself, leave the
// image as it was and write nothing outside its destination (see
// RobustTestUtil.h for the checks). Seeds are fixed, so a failure repeats.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/robust/RobustTestUtil.h"
#include "tests/support/TestImages.h"

using namespace robust;

namespace {

struct FAT_GEOMETRY {
  uint64_t reserved = 0, fatSectors = 0, numFats = 0, dataStart = 0, spc = 1, rootCluster = 0;
  int fatBits = 16;
  uint64_t rootStart = 0;  // FAT12/16: the fixed root folder
};

FAT_GEOMETRY FatGeometry(const std::string& image) {
  testimg::Manifest m = testimg::LoadManifest(image);
  FAT_GEOMETRY g;
  auto num = [&](const char* key) { return std::stoull(m.info.at(key)); };
  g.reserved = num("reservedSectors");
  g.fatSectors = num("fatSectors");
  g.numFats = num("numFats");
  g.dataStart = num("dataStartSector");
  g.spc = num("sectorsPerCluster");
  g.rootCluster = num("rootCluster");
  g.fatBits = static_cast<int>(num("fatBits"));
  g.rootStart = g.reserved + g.numFats * g.fatSectors;
  return g;
}

void SetFatEntry(std::vector<uint8_t>& img, const FAT_GEOMETRY& g, uint32_t cluster, uint32_t value) {
  for (uint64_t f = 0; f < g.numFats; ++f) {
    uint64_t base = (g.reserved + f * g.fatSectors) * 512;
    if (g.fatBits == 32) {
      Put32(img, base + cluster * 4ull, value & 0x0FFFFFFF);
    } else if (g.fatBits == 16) {
      Put16(img, base + cluster * 2ull, static_cast<uint16_t>(value));
    } else {
      uint64_t off = base + cluster * 3ull / 2;
      uint16_t old = Get16(img, off);
      uint16_t v = (cluster & 1) ? static_cast<uint16_t>((old & 0x000F) | (value << 4))
                                 : static_cast<uint16_t>((old & 0xF000) | (value & 0x0FFF));
      Put16(img, off, v);
    }
  }
}

// Every in-use short entry of the root folder and of the first data sectors.
void ForEachDirEntry(std::vector<uint8_t>& img, const FAT_GEOMETRY& g,
                     const std::function<void(uint64_t off)>& fn) {
  uint64_t first = g.fatBits == 32 ? g.dataStart : g.rootStart;
  uint64_t end = g.dataStart + 512;
  for (uint64_t s = first; s < end && (s + 1) * 512 <= img.size(); ++s) {
    for (uint64_t e = 0; e < 16; ++e) {
      uint64_t off = s * 512 + e * 32;
      uint8_t b0 = img[off], attr = img[off + 11];
      if (b0 == 0 || attr == 0x0F || (attr & 0xC0)) continue;
      // Plausible short name characters only, so file data is left alone.
      bool name = true;
      for (int i = 0; i < 11 && name; ++i) name = img[off + i] >= 0x20 || (i == 0 && img[off] == 0x05);
      if (name) fn(off);
    }
  }
}


// ---------------------------------------------------------------- FAT

void FatRandomSectors(std::vector<uint8_t>& img, std::mt19937& rng, const std::string& image) {
  FAT_GEOMETRY g = FatGeometry(image);
  TrashSectors(img, rng, 0, g.dataStart + 256 * g.spc, 40);
  TrashSectors(img, rng, 0, img.size() / 512, 40);
}

void FatBootFlips(std::vector<uint8_t>& img, std::mt19937& rng, const std::string&) { FlipBytes(img, rng, 0, 90, 10); }

void FatCircularChains(std::vector<uint8_t>& img, std::mt19937& rng, const std::string& image) {
  FAT_GEOMETRY g = FatGeometry(image);
  if (g.fatBits == 32) SetFatEntry(img, g, static_cast<uint32_t>(g.rootCluster), static_cast<uint32_t>(g.rootCluster));
  // Folders' first clusters loop onto themselves; other chains step back.
  ForEachDirEntry(img, g, [&](uint64_t off) {
    uint32_t c = Get16(img, off + 26) | (g.fatBits == 32 ? static_cast<uint32_t>(Get16(img, off + 20)) << 16 : 0);
    if (c < 2) return;
    if (img[off + 11] & 0x10)
      SetFatEntry(img, g, c, c);
    else if (rng() % 2)
      SetFatEntry(img, g, c, c > 3 ? c - 1 : 2);
  });
  for (int i = 0; i < 200; ++i) {
    uint32_t c = 2 + rng() % 2000;
    SetFatEntry(img, g, c, 2 + rng() % 2000);
  }
}

void FatDirEntries(std::vector<uint8_t>& img, std::mt19937& rng, const std::string& image) {
  FAT_GEOMETRY g = FatGeometry(image);
  ForEachDirEntry(img, g, [&](uint64_t off) {
    switch (rng() % 6) {
      case 0: Put32(img, off + 28, 0xFFFFFFFF); break;           // size
      case 1: Put16(img, off + 26, 0xFFFF); Put16(img, off + 20, 0xFFFF); break;  // cluster past the end
      case 2: img[off + 11] |= 0x10; break;                      // a file becomes a folder
      case 3: img[off] = 0xE5; break;                            // deleted
      case 4: Put16(img, off + 26, 0); Put16(img, off + 20, 0); img[off + 11] |= 0x10; break;  // folder at cluster 0
      default: break;
    }
  });
}

void FatHugeFields(std::vector<uint8_t>& img, std::mt19937& rng, const std::string& image) {
  FAT_GEOMETRY g = FatGeometry(image);
  switch (rng() % 4) {
    case 0: Put16(img, 0x16, 0xFFFF); Put32(img, 0x24, 0xFFFFFFFF); break;  // sectors per FAT
    case 1: Put16(img, 0x13, 0); Put32(img, 0x20, 0xFFFFFFFF); break;      // total sectors
    case 2: Put16(img, 0x11, 0xFFFF); Put16(img, 0x0E, 0xFFFF); break;     // root entries, reserved
    default: Put32(img, 0x2C, 0x0FFFFFF0); break;                          // FAT32 root cluster
  }
  ForEachDirEntry(img, g, [&](uint64_t off) { Put32(img, off + 28, 0xFFFFFFFF); });
}

// ---------------------------------------------------------------- NTFS

struct NTFS_GEOMETRY {
  uint64_t mftOffset = 0;
  uint32_t records = 0;
};

NTFS_GEOMETRY NtfsGeometry(const std::vector<uint8_t>& img) {
  NTFS_GEOMETRY g;
  uint64_t spc = img.size() > 13 ? img[13] : 0;
  g.mftOffset = Get64(img, 0x30) * spc * 512;
  g.records = 256;
  return g;
}

// Calls fn(recordOffset, attrOffset, type) for every attribute of the first
// MFT records, walking only what lies inside the record.
void ForEachAttribute(std::vector<uint8_t>& img, const std::function<void(uint64_t, uint64_t, uint32_t)>& fn) {
  NTFS_GEOMETRY g = NtfsGeometry(img);
  for (uint32_t r = 0; r < g.records; ++r) {
    uint64_t rec = g.mftOffset + r * 1024ull;
    if (rec + 1024 > img.size() || Get32(img, rec) != 0x454C4946) continue;  // "FILE"
    uint64_t a = Get16(img, rec + 0x14);
    for (int n = 0; n < 64 && a + 16 <= 1024; ++n) {
      uint32_t type = Get32(img, rec + a), len = Get32(img, rec + a + 4);
      if (type == 0xFFFFFFFF || len < 16 || a + len > 1024) break;
      fn(rec, rec + a, type);
      a += len;
    }
  }
}

void NtfsRandomSectors(std::vector<uint8_t>& img, std::mt19937& rng, const std::string&) {
  NTFS_GEOMETRY g = NtfsGeometry(img);
  TrashSectors(img, rng, g.mftOffset / 512, g.mftOffset / 512 + 2 * g.records, 40);
  TrashSectors(img, rng, 0, img.size() / 512, 20);
}

void NtfsBootFlips(std::vector<uint8_t>& img, std::mt19937& rng, const std::string&) { FlipBytes(img, rng, 0, 0x50, 8); }

void NtfsBootHuge(std::vector<uint8_t>& img, std::mt19937& rng, const std::string&) {
  switch (rng() % 3) {
    case 0: Put64(img, 0x30, 1ull << 60); break;  // MFT cluster
    case 1: img[0x40] = 0x7F; img[0x0D] = 0x80; break;  // record and cluster sizes
    default: Put64(img, 0x28, ~0ull); break;       // total sectors
  }
}

void NtfsMetadataFlips(std::vector<uint8_t>& img, std::mt19937& rng, const std::string&) {
  ForEachAttribute(img, [&](uint64_t, uint64_t attr, uint32_t) {
    if (rng() % 3 == 0) FlipBytes(img, rng, attr, 0x48, 2);
  });
}

// Runlists whose runs return to where the previous one started, over and
// over, and folders that are their own parents.
void NtfsCircular(std::vector<uint8_t>& img, std::mt19937& rng, const std::string&) {
  ForEachAttribute(img, [&](uint64_t rec, uint64_t attr, uint32_t type) {
    bool nonResident = img[attr + 8] != 0;
    uint32_t len = Get32(img, attr + 4);
    if (nonResident && (type == 0x80 || type == 0xA0 || type == 0xB0)) {
      uint64_t p = attr + Get16(img, attr + 0x20);
      uint64_t end = attr + len;
      // Skip the first run, then repeat "16 clusters, offset 0" to the end.
      uint8_t h = p < end ? img[p] : 0;
      if (h == 0) return;
      p += 1 + (h & 0x0F) + (h >> 4);
      while (p + 4 <= end) {
        img[p] = 0x11;
        img[p + 1] = 0x10;
        img[p + 2] = 0x00;
        p += 3;
      }
      if (p < end) img[p] = 0;
    } else if (!nonResident && type == 0x30) {
      uint64_t content = attr + Get16(img, attr + 0x14);
      uint32_t self = Get32(img, rec + 0x2C);
      bool dir = (Get16(img, rec + 0x16) & 2) != 0;
      // A folder is its own parent; a file's parent is a random record.
      Put64(img, content, dir ? self : (rng() % 256));
    }
  });
}

void NtfsHugeLengths(std::vector<uint8_t>& img, std::mt19937& rng, const std::string&) {
  ForEachAttribute(img, [&](uint64_t rec, uint64_t attr, uint32_t type) {
    bool nonResident = img[attr + 8] != 0;
    switch (rng() % 5) {
      case 0:
        if (nonResident) {
          Put64(img, attr + 0x30, 1ull << 62);  // real size
          Put64(img, attr + 0x28, 1ull << 62);  // allocated size
        } else {
          Put32(img, attr + 0x10, 0xFFFF);      // content length
        }
        break;
      case 1:
        if (nonResident && type == 0x80) {
          // One run of 2^40 clusters at cluster 1.
          uint64_t p = attr + Get16(img, attr + 0x20);
          if (p + 8 <= attr + Get32(img, attr + 4)) {
            // 0x15: five length bytes (2^32 clusters), one offset byte (+1).
            const uint8_t run[8] = {0x15, 0, 0, 0, 0, 0x01, 0x01, 0};
            for (int i = 0; i < 8; ++i) img[p + i] = run[i];
          }
        }
        break;
      case 2: Put32(img, rec + 0x18, 0xFFFFFFFF); break;  // bytes in use
      case 3: Put16(img, rec + 0x06, 0xFFFF); break;      // update sequence count
      default: Put32(img, attr + 4, 0xFFFFFFF0); break;   // attribute length
    }
  });
}

// ---------------------------------------------------------------- exFAT

struct EXFAT_GEOMETRY {
  uint64_t fatStart = 0, heapStart = 0, spc = 8, rootCluster = 5, clusters = 0;
};

EXFAT_GEOMETRY ExfatGeometry(const std::string& image) {
  testimg::Manifest m = testimg::LoadManifest(image);
  auto num = [&](const char* key) { return std::stoull(m.info.at(key)); };
  EXFAT_GEOMETRY g;
  g.fatStart = num("fatStartSector");
  g.heapStart = num("heapStartSector");
  g.spc = num("sectorsPerCluster");
  g.rootCluster = num("rootCluster");
  g.clusters = num("clusterCount");
  return g;
}

// Calls fn(offset of the File entry, secondary count) for every in-use entry
// set in the first clusters of the heap; fn's changes get a new set checksum,
// so the damage reaches the engine instead of being refused at the door.
void ForEachExfatSet(std::vector<uint8_t>& img, const EXFAT_GEOMETRY& g,
                     const std::function<void(uint64_t, uint32_t)>& fn) {
  const uint64_t first = g.heapStart * 512, end = std::min<uint64_t>(img.size(), first + 2048 * 512);
  for (uint64_t off = first; off + 64 <= end; off += 32) {
    const uint32_t secondary = img[off + 1];
    if (img[off] != 0x85 || img[off + 32] != 0xC0 || secondary < 2 || secondary > 18) continue;
    if (off + (secondary + 1) * 32ull > end) continue;
    fn(off, secondary);
    uint16_t sum = 0;
    for (uint32_t i = 0; i < (secondary + 1) * 32; ++i)
      if (i != 2 && i != 3) sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + img[off + i]);
    Put16(img, off + 2, sum);
  }
}

void ExfatRandomSectors(std::vector<uint8_t>& img, std::mt19937& rng, const std::string& image) {
  EXFAT_GEOMETRY g = ExfatGeometry(image);
  TrashSectors(img, rng, 0, g.heapStart + 256 * g.spc, 40);
  TrashSectors(img, rng, 0, img.size() / 512, 40);
}

// FAT chains that loop back onto themselves (the root folder's first of
// all), folders that claim to be one contiguous run of the whole volume, and
// links between random clusters.
void ExfatLoopingChains(std::vector<uint8_t>& img, std::mt19937& rng, const std::string& image) {
  EXFAT_GEOMETRY g = ExfatGeometry(image);
  auto link = [&](uint64_t c, uint32_t v) { Put32(img, g.fatStart * 512 + c * 4, v); };
  link(g.rootCluster, static_cast<uint32_t>(g.rootCluster));
  ForEachExfatSet(img, g, [&](uint64_t off, uint32_t) {
    const uint64_t stream = off + 32;
    const uint32_t c = Get32(img, stream + 20);
    if (c < 2) return;
    if (img[off + 4] & 0x10) {
      if (rng() % 2) img[stream + 1] &= static_cast<uint8_t>(~0x02);  // follow the FAT, which loops
      else Put64(img, stream + 24, g.clusters * g.spc * 512);          // contiguous over everything
      link(c, c);
    } else {
      img[stream + 1] &= static_cast<uint8_t>(~0x02);
      link(c, c > 3 ? c - 1 : 2);
    }
  });
  for (int i = 0; i < 200; ++i) link(2 + rng() % g.clusters, static_cast<uint32_t>(2 + rng() % g.clusters));
}

// Checksum-valid sets with lengths past the volume, clusters past its end,
// files turned into folders and valid lengths above the length.
void ExfatHugeFields(std::vector<uint8_t>& img, std::mt19937& rng, const std::string& image) {
  EXFAT_GEOMETRY g = ExfatGeometry(image);
  ForEachExfatSet(img, g, [&](uint64_t off, uint32_t) {
    const uint64_t stream = off + 32;
    switch (rng() % 5) {
      case 0: Put64(img, stream + 24, ~0ull); Put64(img, stream + 8, ~0ull); break;
      case 1: Put32(img, stream + 20, 0xFFFFFFF0); break;
      case 2: img[off + 4] |= 0x10; break;
      case 3: Put64(img, stream + 8, Get64(img, stream + 24) + 12345); break;
      default: break;
    }
  });
}

// ---------------------------------------------------------------- whole disks

void MbrExtendedLoop(std::vector<uint8_t>& img, std::mt19937& rng, const std::string&) {
  for (int i = 0; i < 4; ++i) {
    uint64_t e = 0x1BE + 16 * i;
    uint8_t type = img[e + 4];
    if (type != 0x05 && type != 0x0F) continue;
    uint64_t ebr = Get32(img, e + 8);
    if ((ebr + 1) * 512 > img.size()) continue;
    // The first extended boot record links to itself.
    Put32(img, ebr * 512 + 0x1CE + 8, 0);
    img[ebr * 512 + 0x1CE + 4] = 0x05;
    Put32(img, ebr * 512 + 0x1CE + 12, 0xFFFFFFFF);
  }
  FlipBytes(img, rng, 0x1BE, 64, 4);
}

void MbrHugeEntries(std::vector<uint8_t>& img, std::mt19937& rng, const std::string&) {
  for (int i = 0; i < 4; ++i) {
    uint64_t e = 0x1BE + 16 * i;
    if (rng() % 2) Put32(img, e + 8, 0xFFFFFFF0);
    Put32(img, e + 12, 0xFFFFFFFF);
  }
}

void WholeDiskRandom(std::vector<uint8_t>& img, std::mt19937& rng, const std::string& image) {
  testimg::Manifest m = testimg::LoadManifest(image);
  for (const auto& p : m.partitions) {
    TrashSectors(img, rng, p.firstSector, p.firstSector + 8, 2);
    FlipBytes(img, rng, p.firstSector * 512, 512, 6);
  }
  TrashSectors(img, rng, 0, 64, 4);
}

void GptHuge(std::vector<uint8_t>& img, std::mt19937& rng, const std::string&) {
  switch (rng() % 3) {
    case 0: Put32(img, 512 + 0x50, 0xFFFFFFFF); Put32(img, 512 + 0x54, 0xFFFFFFFF); break;  // count, entry size
    case 1: Put64(img, 512 + 0x48, 1ull << 62); break;                                    // entry array LBA
    default:
      for (int i = 0; i < 4; ++i) {
        Put64(img, 1024 + i * 128 + 0x20, 1ull << 61);  // first LBA
        Put64(img, 1024 + i * 128 + 0x28, ~0ull);       // last LBA
      }
  }
}

using DAMAGE = void (*)(std::vector<uint8_t>&, std::mt19937&, const std::string&);

struct PARAM {
  const char* image;
  const char* kind;
  DAMAGE damage;
  unsigned seed;
};

std::string ParamName(const ::testing::TestParamInfo<PARAM>& info) {
  std::string s = std::string(info.param.image) + "_" + info.param.kind + "_" + std::to_string(info.param.seed);
  for (char& c : s)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return s;
}

class DamagedImageScan : public ::testing::TestWithParam<PARAM> {};

TEST_P(DamagedImageScan, EndsAndWritesOnlyTheDestination) {
  const PARAM& p = GetParam();
  std::vector<uint8_t> img = LoadImage(p.image);
  ASSERT_GT(img.size(), 1u << 20) << p.image;
  std::vector<uint8_t> original = img;
  std::mt19937 rng(p.seed);
  p.damage(img, rng, p.image);
  ASSERT_NE(original, img) << "the damage changed nothing";
  ScanOutcome o = ScanMustSurvive(ParamName(::testing::TestParamInfo<PARAM>(p, 0)), img);
  // Damage leaves most of the volume readable: something is still found and saved.
  EXPECT_FALSE(o.savedFiles.empty()) << "nothing recovered from " << p.image << " " << p.kind;
}

const PARAM kCases[] = {
    {"fat12.img", "random-sectors", FatRandomSectors, 1},
    {"fat16.img", "random-sectors", FatRandomSectors, 2},
    {"fat32.img", "random-sectors", FatRandomSectors, 3},
    {"fat12.img", "boot-flips", FatBootFlips, 4},
    {"fat16.img", "boot-flips", FatBootFlips, 5},
    {"fat32.img", "boot-flips", FatBootFlips, 6},
    {"fat12.img", "circular-chains", FatCircularChains, 7},
    {"fat16.img", "circular-chains", FatCircularChains, 8},
    {"fat32.img", "circular-chains", FatCircularChains, 9},
    {"fat16.img", "dir-entries", FatDirEntries, 10},
    {"fat32.img", "dir-entries", FatDirEntries, 11},
    {"fat16.img", "huge-fields", FatHugeFields, 12},
    {"fat32.img", "huge-fields", FatHugeFields, 13},
    {"fat32.img", "huge-fields", FatHugeFields, 14},
    {"exfat.img", "random-sectors", ExfatRandomSectors, 15},
    {"exfat-64k.img", "random-sectors", ExfatRandomSectors, 16},
    {"exfat.img", "looping-chains", ExfatLoopingChains, 17},
    {"exfat.img", "huge-fields", ExfatHugeFields, 18},
    {"exfat-reformat.img", "random-sectors", ExfatRandomSectors, 19},
    {"ntfs.img", "random-sectors", NtfsRandomSectors, 20},
    {"ntfs.img", "boot-flips", NtfsBootFlips, 21},
    {"ntfs.img", "boot-huge", NtfsBootHuge, 22},
    {"ntfs.img", "boot-huge", NtfsBootHuge, 23},
    {"ntfs.img", "metadata-flips", NtfsMetadataFlips, 24},
    {"ntfs.img", "metadata-flips", NtfsMetadataFlips, 25},
    {"ntfs.img", "circular", NtfsCircular, 26},
    {"ntfs.img", "huge-lengths", NtfsHugeLengths, 27},
    {"ntfs.img", "huge-lengths", NtfsHugeLengths, 28},
    {"mbr.img", "extended-loop", MbrExtendedLoop, 30},
    {"mbr.img", "huge-entries", MbrHugeEntries, 31},
    {"mbr.img", "random", WholeDiskRandom, 32},
    {"gpt.img", "huge", GptHuge, 33},
    {"gpt.img", "huge", GptHuge, 34},
    {"gpt.img", "random", WholeDiskRandom, 35},
};

INSTANTIATE_TEST_SUITE_P(Images, DamagedImageScan, ::testing::ValuesIn(kCases), ParamName);

}  // namespace
