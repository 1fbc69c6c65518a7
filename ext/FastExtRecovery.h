// The quick ext2/3/4 engine. It lists no files: ext4 clears a deleted file's
// block map, so deleted files come back by carving. What it supplies is the
// allocation map (superblock, block-group descriptors, block bitmaps), so the
// deep scan reads exactly the free blocks, as it does on NTFS and FAT.
#pragma once

#include <vector>

#include "engine/DiskReader.h"
#include "engine/IFileRecoveryParse.h"
#include "ext/ExtLayout.h"

class CFastExtRecovery : public IFileRecoveryParse {
 public:
  CFastExtRecovery();
  ~CFastExtRecovery() override;
  CFastExtRecovery(const CFastExtRecovery&) = delete;
  CFastExtRecovery& operator=(const CFastExtRecovery&) = delete;

  // Opens the range and reads its superblock: 0, or why the volume cannot
  // give an allocation map (the deep scan then reads the whole range).
  int Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) override;
  int Init(wchar_t* pPath, wchar_t wcDrive) override;
  int InitCallBack(SCAN_PROGRESS_CALLBACK, RECOVERY_CALLBACK, void*, int) override { return 0; }
  int ScanDevice(wchar_t*) override { return 0; }
  int GetChildrenFileNode(_FILE_NODE_*, unsigned int, FILE_NODE_VECTOR&) override { return 0; }
  int GetChildrenFileCount(_FILE_NODE_*, unsigned int, unsigned int&) override { return 0; }
  int GetLostFileCount() override { return 0; }
  int GetFileNodeParentDirPath(_FILE_NODE_*, wchar_t*, int) override { return 0; }
  int SaveFileData(_FILE_NODE_*, wchar_t*, int) override { return STATUS_NOT_SUPPORTED; }
  // The next run of free sectors at or after u64StartSector (512-byte
  // sectors from the range's start); count 0 when none is left.
  int GetUnUsedSectorCount(u64& u64StartSector, u64& u64SectorCount) override;
  int InitSearchCallBack(SEARCH_CALLBACK, void*) override { return 0; }
  int SearchFileNode(wchar_t*, SEARCH_FILE_INFO_VECTOR&) override { return 0; }
  // Reads the descriptors and block bitmaps: 0, or a status when there is no
  // map to be had (not ext, damaged superblock, unreadable descriptors).
  int BuildBitMapInfo() override;
  int PreView(_FILE_NODE_*, wchar_t*, unsigned char*, int&, PREVIEW_CALLBACK, void*) override {
    return STATUS_NOT_SUPPORTED;
  }

  const EXT_GEOMETRY& GetGeometry() const { return m_geometry; }
  bool HasGeometry() const { return m_nGeometryStatus == 0; }

 private:
  int LoadSuperBlock();
  // Reads nBytes at the volume's block nBlock (which must lie in the range).
  int ReadBlockBytes(u64 nBlock, unsigned char* pBuf, size_t nBytes);
  void MarkBlocks(u64 u64FirstBlock, u64 u64Count);

  CDiskReader m_DiskReader;
  u64 m_u64StartSector;
  u64 m_u64SectorCount;
  wchar_t m_wcDrive;
  int m_nGeometryStatus;
  EXT_GEOMETRY m_geometry;
  u64 m_u64Blocks;       // blocks of the file system that lie inside the range
  u64 m_u64Units;        // bitmap units (blocks or bigalloc clusters) from the first data block
  std::vector<u8> m_vecUsed;  // one bit per unit, set when in use
};
