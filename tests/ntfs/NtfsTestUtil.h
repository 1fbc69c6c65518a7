// Helpers of the NTFS tests: a builder of file records byte by byte (written
// from the public layout, independent of the parser under test), a small
// synthetic volume writer, and a walk of an engine's whole result tree.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/IFileRecoveryParse.h"

namespace ntfstest {

typedef std::vector<uint8_t> Bytes;

void PutU16(Bytes& b, size_t off, uint16_t v);
void PutU32(Bytes& b, size_t off, uint32_t v);
void PutU64(Bytes& b, size_t off, uint64_t v);

// One run of a runlist: length in clusters, offset relative to the previous
// run's first cluster (sparse: no offset bytes).
Bytes EncodeRun(uint64_t length, int64_t offset, bool sparse = false);
Bytes EncodeRuns(const std::vector<std::pair<uint64_t, int64_t>>& runs);

class RecordBuilder {
 public:
  RecordBuilder(uint32_t number, uint16_t flags, uint32_t recordSize = 1024);
  RecordBuilder& FileName(uint32_t parent, const std::string& asciiName, uint8_t nameSpace = 1, uint64_t size = 0);
  RecordBuilder& ResidentData(const Bytes& data, const std::string& streamName = "");
  RecordBuilder& NonResidentData(const Bytes& runlist, uint64_t allocated, uint64_t real,
                                 const std::string& streamName = "", uint64_t lowestVcn = 0, uint32_t type = 0x80);
  RecordBuilder& AttributeList(const Bytes& content);
  RecordBuilder& Raw(const Bytes& attribute);  // a whole attribute, header included
  RecordBuilder& BaseRecord(uint64_t base);
  // The record as it lies on disk: sector ends moved into the update
  // sequence array and replaced by the sequence number.
  Bytes Build() const;
  // The record as it reads after the fix-up.
  Bytes BuildFixed() const;

 private:
  void Append(Bytes attr);
  uint32_t m_number;
  uint16_t m_flags;
  uint32_t m_size;
  uint64_t m_base = 0;
  std::vector<Bytes> m_attrs;
};

// An attribute-list entry for the list's content.
Bytes AttrListEntry(uint32_t type, uint64_t firstVcn, uint32_t recordNo);

// Writes a volume of totalSectors sectors: an NTFS boot sector with 4096-byte
// clusters (8 sectors), an MFT at mftCluster holding records (record i at
// index i; record 0 is made here and describes the MFT), and extra bytes
// placed at given absolute sectors. Returns false on a write error.
bool WriteSyntheticVolume(const std::string& path, uint64_t totalSectors, uint64_t mftCluster,
                          const std::vector<Bytes>& records, const std::map<uint64_t, Bytes>& extra = {});

// Points the scan-log folder at a fresh temporary folder and opens a new
// numbered scan folder in it; returns the support folder.
std::string FreshScanLog(const std::string& tag);

struct ListedNode {
  _FILE_NODE_ node;
  std::string folder;  // "a/b/" as built from the tree walk ("" at the top)
  unsigned int level;  // level the node was listed at
};
// Every node reachable from the top, by path ("a/b/name").
std::map<std::string, ListedNode> ListTree(IFileRecoveryParse& engine);

// "/Photos/x" manifest folder and name -> "Photos/x/name"
std::string ManifestTreePath(const std::string& folder, const std::string& name);

std::wstring W(const std::string& s);

}  // namespace ntfstest
