// Reading a found NTFS file back through its record: resident data, the data
// runlist (through an attribute list when there is one), the health test,
// and the copy of a file's bytes for previews and saves. Both NTFS engines share this code;
// they differ only in the hooks below (how a record is looked up and placed).
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "engine/DiskReader.h"
#include "engine/RecoverySink.h"
#include "engine/Types.h"
#include "ntfs/NtfsParse.h"

// Status codes of the record lookups.
enum : int {
  NTFS_NOT_RESIDENT = -101,  // no record, no data attribute, or the data is not resident
  NTFS_NO_DATA = -100,       // no runlist to be had
};

class CNtfsFileData {
 public:
  virtual ~CNtfsFileData();

 protected:
  CNtfsFileData();

  // Hooks of each engine.
  virtual int LookupResidentData(_FILE_NODE_* pNode, unsigned char* pBuf, unsigned int& nLen) = 0;
  virtual int LookupDataRunList(_FILE_NODE_* pNode, std::vector<__RUNLIST__>& vecRuns) = 0;
  virtual int LookupHealthRunList(_FILE_NODE_* pNode, std::vector<__RUNLIST__>& vecRuns) = 0;
  // Reads record nRecordNO of the volume whose record nBaseRecordNO lies at
  // u64BaseSector (the record that holds the attribute list).
  virtual int ReadVolumeRecord(u64 u64BaseSector, u32 nBaseRecordNO, u32 nRecordNO, unsigned char* pBuf) = 0;

  // Shared operations.
  int DoIsFileDataHealth(_FILE_NODE_* pNode);
  // The file's unnamed data (resident, or its runs; sparse runs as zeros)
  // into the sink, at most its size.
  int DoCopyFileData(_FILE_NODE_* pNode, IRecoverySink& sink);

  // Resident data of the stream u64StreamKey (0: the unnamed one) of the
  // record at u64Sector: 0, NTFS_NOT_RESIDENT, or 87. nLen gets the content length.
  int ReadResidentData(u64 u64Sector, u64 u64StreamKey, unsigned char* pBuf, unsigned int& nLen);
  // Runs of the first attribute of nType in the record at u64Sector: with
  // u64StreamKey 0 the unnamed one (a named one when the type has no unnamed
  // attribute), else the named stream of that key. Extents listed in an
  // attribute list are followed when bFollowList, else a list before the
  // attribute gives nListStatus. 0, -1 (no record), NTFS_NO_DATA,
  // nListStatus, or a read status.
  int ReadRecordRunList(u64 u64Sector, u32 nType, bool bFollowList, int nListStatus, u32 nClusterBytes,
                        u64 u64VolumeStart, std::vector<__RUNLIST__>& vecRuns, u64 u64StreamKey = 0);
  // The node of a found file's named stream: "file_stream" (a safe name),
  // the stream's size, its key in u64DataStartSector.
  static _FILE_NODE_ StreamNode(const _FILE_NODE_& file, const NTFS_STREAM& stream);

  // Reads the file's runs chunk by chunk (at most 64 KiB), handing each to
  // pfnConsume until u64Limit bytes were handed over. 0 or the first
  // non-zero status (a read status, 87 for runs outside the volume, or the
  // consumer's answer).
  typedef int (*CHUNK_CONSUMER)(void* ctx, const unsigned char* pData, u32 nLen);
  int ReadRunData(const _FILE_NODE_& node, const std::vector<__RUNLIST__>& vecRuns, u64 u64Limit,
                  unsigned char* pBuf, CHUNK_CONSUMER pfnConsume, void* ctx, u64* pDelivered);

  CDiskReader m_DiskReader;
  CNtfsParse m_NtfsParse;
  i32 m_nBytesPerSector;
  u32 m_nFileRecordSize;
  // Absolute sectors data may be read from (the volume, or the scanned range).
  u64 m_u64DataFirstSector;
  u64 m_u64DataEndSector;

 private:
  int CollectListExtents(const unsigned char* pRecord, const NTFS_ATTR& list, u32 nType, u64 u64Sector,
                         u32 nClusterBytes, u64 u64VolumeStart, u64 u64StreamKey, std::vector<__RUNLIST__>& vecRuns);
};

// Removes the three files of a result set of that name in the current scan
// folder: a new scan named like one made in the same minute must not append
// to its records.
void RemoveResultSet(const std::string& name);

