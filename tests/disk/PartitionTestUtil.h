// Small helpers of the partition tests: a disk built in memory, written to a
// temporary file and read back through CPartitionManager.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "disk/PartitionManager.h"
#include "engine/DiskMap.h"
#include "support/TestFiles.h"

namespace parttest {

struct Span {
  uint64_t first, last;
  std::string name;
  bool operator==(const Span& o) const { return first == o.first && last == o.last && name == o.name; }
};

inline std::vector<Span> Spans(const std::vector<_PARTITION_ITEM_>& items) {
  std::vector<Span> out;
  for (const auto& it : items) out.push_back({it.u64StartSector, it.u64EndSector, PartitionNameToUtf8(it)});
  return out;
}

inline std::string ToString(const std::vector<Span>& spans) {
  std::string s;
  for (const auto& p : spans) s += std::to_string(p.first) + ".." + std::to_string(p.last) + " '" + p.name + "'\n";
  return s;
}

// A disk of nSectors sectors; only the first nStored are kept in memory, the
// rest of the file is left sparse.
class MemDisk {
 public:
  MemDisk(uint64_t nSectors, size_t nStored) : m_nSectors(nSectors), m_bytes(nStored * 512, 0) {}

  uint8_t* Sector(size_t n) { return m_bytes.data() + n * 512; }
  void Put8(size_t off, uint8_t v) { m_bytes.at(off) = v; }
  void Put16LE(size_t off, uint16_t v) {
    for (int i = 0; i < 2; ++i) m_bytes.at(off + i) = static_cast<uint8_t>(v >> (8 * i));
  }
  void Put32LE(size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) m_bytes.at(off + i) = static_cast<uint8_t>(v >> (8 * i));
  }
  void Put64LE(size_t off, uint64_t v) {
    for (int i = 0; i < 8; ++i) m_bytes.at(off + i) = static_cast<uint8_t>(v >> (8 * i));
  }
  void Put32BE(size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) m_bytes.at(off + i) = static_cast<uint8_t>(v >> (24 - 8 * i));
  }
  void PutBytes(size_t off, const void* p, size_t n) {
    if (off + n > m_bytes.size()) m_bytes.at(off + n - 1);  // throws
    memcpy(m_bytes.data() + off, p, n);
  }

  // MBR-style table entry i (0..3) of the record in sector nSector.
  void MbrEntry(size_t nSector, int i, uint8_t type, uint32_t rel, uint32_t count, uint8_t status = 0) {
    size_t e = nSector * 512 + 446 + 16 * static_cast<size_t>(i);
    Put8(e, status);
    Put8(e + 4, type);
    Put32LE(e + 8, rel);
    Put32LE(e + 12, count);
  }
  void Signature(size_t nSector) {
    Put8(nSector * 512 + 510, 0x55);
    Put8(nSector * 512 + 511, 0xAA);
  }

  // Writes the disk to a fresh file and returns its path.
  std::string Save(const std::string& tag) const {
    std::string path = testfiles::FreshDir(tag) + "/disk.img";
    testfiles::WriteAll(path, m_bytes.data(), m_bytes.size());
    if (truncate(path.c_str(), static_cast<off_t>(m_nSectors * 512)) != 0) return std::string();
    return path;
  }

  std::vector<uint8_t>& Bytes() { return m_bytes; }

 private:
  uint64_t m_nSectors;
  std::vector<uint8_t> m_bytes;
};

// Reads the partition table of one image file as disk nDiskNo.
inline int ReadImage(const std::string& path, std::vector<_PARTITION_ITEM_>& items, int nDiskNo = 0,
                     CPartitionManager* pManager = nullptr) {
  CPartitionManager local;
  CPartitionManager& m = pManager ? *pManager : local;
  int fd = OpenPathReadOnly(path.c_str());
  if (fd < 0) return -1;
  int status = m.ReadPartitionTable(fd, nDiskNo, items);
  close(fd);
  return status;
}

inline std::vector<Span> ReadSpans(const std::string& path) {
  std::vector<_PARTITION_ITEM_> items;
  ReadImage(path, items);
  return Spans(items);
}

}  // namespace parttest
