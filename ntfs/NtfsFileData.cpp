#include "ntfs/NtfsFileData.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>

#include "engine/ContentMatch.h"
#include "engine/RecoveredFile.h"
#include "engine/ByteOrder.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"
#include "store/LogFileManager.h"
#include "store/ScanResultFileManager.h"

namespace {

constexpr u32 kDataBufSize = 0x10000;
// An attribute list longer than this is damage (real ones stay far below).
constexpr u64 kMaxAttrListBytes = 1u << 20;
// The extension of a stored name (text after the last "."), or "" without one.
std::string NodeExtension(const _FILE_NODE_& node) {
  char name[257];
  memcpy(name, node.szFileName, 256);
  name[256] = 0;
  const char* dot = strrchr(name, '.');
  return dot ? std::string(dot + 1) : std::string();
}

}  // namespace

void RemoveResultSet(const std::string& name) {
  std::string base = CLogFileManager::GetInstance()->GetLogFileDirPath() + name;
  unlink(base.c_str());
  unlink((base + "_Relation").c_str());
  unlink((base + "_DirInfo").c_str());
}

CNtfsFileData::CNtfsFileData()
    : m_nBytesPerSector(512),
      m_nFileRecordSize(1024),
      m_u64DataFirstSector(0),
      m_u64DataEndSector(0) {}

CNtfsFileData::~CNtfsFileData() {}

_FILE_NODE_ CNtfsFileData::StreamNode(const _FILE_NODE_& file, const NTFS_STREAM& stream) {
  _FILE_NODE_ node = file;
  std::string base(file.szFileName, strnlen(file.szFileName, sizeof(file.szFileName)));
  CopyNameToField(node.szFileName, MakeSafePathComponent(base + "_" + stream.strName));
  node.u64FileSize = stream.u64Size;
  node.u64DataStartSector = stream.u64Key;
  return node;
}

int CNtfsFileData::ReadResidentData(u64 u64Sector, u64 u64StreamKey, unsigned char* pBuf, unsigned int& nLen) {
  nLen = 0;
  const int bps = m_nBytesPerSector;
  if (bps <= 0 || m_nFileRecordSize == 0 || m_nFileRecordSize > NTFS_RECORD_READ_BYTES) return NTFS_NOT_RESIDENT;
  unsigned char rec[NTFS_RECORD_READ_BYTES];
  // Only the record itself is read, so a record in the volume's last
  // sectors is not refused by the reader's end limit.
  const int sectors = static_cast<int>((m_nFileRecordSize + bps - 1) / bps);
  unsigned int got = 0;
  int st = m_DiskReader.ReadData(rec, sectors, static_cast<i64>(u64Sector), bps, &got);
  // A read that fails here is reported by the runlist lookup that follows.
  if (st != 0 || got * static_cast<u32>(bps) < m_nFileRecordSize) return NTFS_NOT_RESIDENT;
  if (!BytesEqual(rec, m_nFileRecordSize, 0, "FILE", 4)) return NTFS_NOT_RESIDENT;
  m_NtfsParse.FileRecordFixUp(rec);
  CNtfsAttrIterator it(rec, m_nFileRecordSize);
  NTFS_ATTR a;
  while (it.Next(a)) {
    if (a.nType != NTFS_ATTR_DATA || NtfsAttrStreamKey(rec, a) != u64StreamKey) continue;
    if (a.bNonResident) return NTFS_NOT_RESIDENT;
    if (a.nContentLength >= m_nFileRecordSize) return STATUS_INVALID_PARAMETER;
    memcpy(pBuf, rec + a.nOffset + a.nContentOffset, a.nContentLength);
    nLen = a.nContentLength;
    return 0;
  }
  return NTFS_NOT_RESIDENT;
}

int CNtfsFileData::ReadRecordRunList(u64 u64Sector, u32 nType, bool bFollowList, int nListStatus,
                                     u32 nClusterBytes, u64 u64VolumeStart, std::vector<__RUNLIST__>& vecRuns,
                                     u64 u64StreamKey) {
  const int bps = m_nBytesPerSector;
  if (bps <= 0 || m_nFileRecordSize == 0 || m_nFileRecordSize > NTFS_RECORD_READ_BYTES) return NTFS_NO_DATA;
  unsigned char rec[NTFS_RECORD_READ_BYTES];
  const int sectors = static_cast<int>((m_nFileRecordSize + bps - 1) / bps);
  unsigned int got = 0;
  int st = m_DiskReader.ReadData(rec, sectors, static_cast<i64>(u64Sector), bps, &got);
  if (st != 0) return st;
  if (!BytesEqual(rec, m_nFileRecordSize, 0, "FILE", 4)) return -1;
  m_NtfsParse.FileRecordFixUp(rec);

  CNtfsAttrIterator it(rec, m_nFileRecordSize);
  NTFS_ATTR a, list, named;
  bool haveList = false, haveNamed = false;
  while (it.Next(a)) {
    if (a.nType == NTFS_ATTR_ATTRIBUTE_LIST && !haveList) {
      list = a;
      haveList = true;
      continue;
    }
    if (a.nType != nType) continue;
    if (NtfsAttrStreamKey(rec, a) != u64StreamKey) {
      if (a.nNameLength != 0 && !haveNamed) named = a;
      haveNamed = haveNamed || a.nNameLength != 0;
      continue;
    }
    if (haveList) break;  // extents may lie in other records: take them from the list
    if (!a.bNonResident) return NTFS_NO_DATA;
    m_NtfsParse.GetRunList(rec + a.nOffset, m_nFileRecordSize - a.nOffset, vecRuns);
    return 0;
  }
  if (haveList) {
    if (!bFollowList) return nListStatus;
    std::vector<__RUNLIST__> runs;
    int r = CollectListExtents(rec, list, nType, u64Sector, nClusterBytes, u64VolumeStart, u64StreamKey, runs);
    if (r == 0 && !runs.empty()) {
      vecRuns.insert(vecRuns.end(), runs.begin(), runs.end());
      return 0;
    }
    return r != 0 ? r : NTFS_NO_DATA;
  }
  // Attributes that only exist named (an index allocation is "$I30").
  if (u64StreamKey == 0 && haveNamed && named.bNonResident && nType != NTFS_ATTR_DATA) {
    m_NtfsParse.GetRunList(rec + named.nOffset, m_nFileRecordSize - named.nOffset, vecRuns);
    return 0;
  }
  return NTFS_NO_DATA;
}

int CNtfsFileData::CollectListExtents(const unsigned char* pRecord, const NTFS_ATTR& list, u32 nType, u64 u64Sector,
                                      u32 nClusterBytes, u64 u64VolumeStart, u64 u64StreamKey,
                                      std::vector<__RUNLIST__>& vecRuns) {
  // The list's own bytes: resident content, or its clusters read whole.
  std::vector<unsigned char> bytes;
  if (!list.bNonResident) {
    const unsigned char* c = pRecord + list.nOffset + list.nContentOffset;
    bytes.assign(c, c + list.nContentLength);
  } else {
    std::vector<__RUNLIST__> listRuns;
    m_NtfsParse.GetRunList(pRecord + list.nOffset, m_nFileRecordSize - list.nOffset, listRuns);
    u64 size = list.u64RealSize;
    if (size == 0 || size > kMaxAttrListBytes || listRuns.empty()) return NTFS_NO_DATA;
    _FILE_NODE_ tmp;
    memset(&tmp, 0, sizeof(tmp));
    tmp.nClusterBytes = nClusterBytes;
    tmp.u64VolumeStartSector = u64VolumeStart;
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[kDataBufSize]);
    if (!buf) return STATUS_OUT_OF_MEMORY;
    struct Sink {
      static int Take(void* ctx, const unsigned char* p, u32 n) {
        static_cast<std::vector<unsigned char>*>(ctx)->insert(static_cast<std::vector<unsigned char>*>(ctx)->end(),
                                                              p, p + n);
        return 0;
      }
    };
    int st = ReadRunData(tmp, listRuns, size, buf.get(), &Sink::Take, &bytes, nullptr);
    if (st != 0) return st;
    if (bytes.size() > size) bytes.resize(static_cast<size_t>(size));
  }

  // Entries: 0x00 type, 0x04 entry length, 0x06 name length, 0x07 name
  // offset, 0x08 first VCN, 0x10 reference of the record holding that extent.
  const size_t n = bytes.size();
  const unsigned char* b = bytes.data();
  size_t off = 0;
  size_t extents = 0;
  std::unique_ptr<unsigned char[]> other(new (std::nothrow) unsigned char[NTFS_RECORD_READ_BYTES]);
  if (!other) return STATUS_OUT_OF_MEMORY;
  const u32 ownNumber = GetU32LE(pRecord, m_nFileRecordSize, 0x2C);
  while (off + 0x1A <= n && extents < NTFS_MAX_ATTR_LIST_EXTENTS) {
    u32 type = GetU32LE(b, n, off);
    u16 entryLen = GetU16LE(b, n, off + 4);
    if (type == 0 || type == NTFS_ATTR_END || entryLen < 0x1A || entryLen > n - off) break;
    u8 nameLen = GetU8(b, n, off + 6);
    u8 nameOff = GetU8(b, n, off + 7);
    u64 firstVcn = GetU64LE(b, n, off + 8);
    u32 recNo = static_cast<u32>(GetU64LE(b, n, off + 0x10) & 0xFFFFFFFFull);
    const size_t entry = off;
    off += entryLen;
    if (type != nType) continue;
    // The entry's name must lie inside the entry to count.
    u64 key = 0;
    if (nameLen != 0) {
      if (static_cast<size_t>(nameOff) + 2u * nameLen > entryLen) continue;
      key = NtfsStreamKey(b + entry + nameOff, nameLen);
    }
    if (key != u64StreamKey) continue;
    ++extents;
    const unsigned char* holder = pRecord;
    if (recNo != ownNumber) {
      int st = ReadVolumeRecord(u64Sector, ownNumber, recNo, other.get());
      if (st != 0) return st;
      if (!BytesEqual(other.get(), m_nFileRecordSize, 0, "FILE", 4)) return NTFS_NO_DATA;
      m_NtfsParse.FileRecordFixUp(other.get());
      holder = other.get();
    }
    CNtfsAttrIterator it(holder, m_nFileRecordSize);
    NTFS_ATTR a;
    bool found = false;
    while (it.Next(a)) {
      if (a.nType != nType || NtfsAttrStreamKey(holder, a) != u64StreamKey || !a.bNonResident ||
          a.u64LowestVcn != firstVcn)
        continue;
      std::vector<__RUNLIST__> ext;
      m_NtfsParse.GetRunList(holder + a.nOffset, m_nFileRecordSize - a.nOffset, ext);
      AppendRunListExtent(vecRuns, ext);
      found = true;
      break;
    }
    // A missing extent leaves a hole we cannot place: stop with what comes before it.
    if (!found) break;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Reading data

int CNtfsFileData::ReadRunData(const _FILE_NODE_& node, const std::vector<__RUNLIST__>& vecRuns, u64 u64Limit,
                               unsigned char* pBuf, CHUNK_CONSUMER pfnConsume, void* ctx, u64* pDelivered) {
  if (pDelivered) *pDelivered = 0;
  const i64 bps = m_nBytesPerSector;
  const i64 clusterBytes = static_cast<i32>(node.nClusterBytes);
  if (bps <= 0 || clusterBytes <= 0 || clusterBytes % bps != 0 || clusterBytes > (1 << 24))
    return STATUS_INVALID_PARAMETER;
  const u64 spc = static_cast<u64>(clusterBytes / bps);
  u64 delivered = 0;
  i64 cluster = 0;
  // Holes are handed out as zeros. A damaged runlist can declare a hole of
  // terabytes, and saving it would fill the destination with zeros: holes of
  // one file larger than the whole range the engine reads are damage.
  const u64 holeSectorLimit = m_u64DataEndSector > m_u64DataFirstSector ? m_u64DataEndSector - m_u64DataFirstSector : 0;
  u64 holeSectors = 0;
  for (const __RUNLIST__& run : vecRuns) {
    if (delivered >= u64Limit) break;
    if (__builtin_add_overflow(cluster, run.i64RunOffset, &cluster)) return STATUS_INVALID_PARAMETER;
    u64 runSectors;
    if (__builtin_mul_overflow(run.u64RunLength, spc, &runSectors)) return STATUS_INVALID_PARAMETER;
    u64 first = 0;
    if (run.bSparse) {
      // Only the part of the hole that will be handed out counts.
      u64 wanted = (u64Limit - delivered) / static_cast<u64>(bps) + 1;
      u64 used = runSectors < wanted ? runSectors : wanted;
      if (__builtin_add_overflow(holeSectors, used, &holeSectors) || holeSectors > holeSectorLimit)
        return STATUS_INVALID_PARAMETER;
    } else {
      // Runs outside the volume are damage, not data to hand out.
      u64 rel;
      if (cluster < 0 || __builtin_mul_overflow(static_cast<u64>(cluster), spc, &rel) ||
          __builtin_add_overflow(rel, node.u64VolumeStartSector, &first))
        return STATUS_INVALID_PARAMETER;
      if (first < m_u64DataFirstSector || first > m_u64DataEndSector || runSectors > m_u64DataEndSector - first)
        return STATUS_INVALID_PARAMETER;
    }
    u64 done = 0;
    while (done < runSectors && delivered < u64Limit) {
      u64 chunkSectors = runSectors - done;
      const u64 maxSectors = kDataBufSize / static_cast<u64>(bps);
      if (chunkSectors > maxSectors) chunkSectors = maxSectors;
      u32 chunkBytes = static_cast<u32>(chunkSectors * static_cast<u64>(bps));
      if (run.bSparse) {
        memset(pBuf, 0, chunkBytes);
      } else {
        unsigned int got = 0;
        int st = m_DiskReader.ReadData(pBuf, static_cast<int>(chunkSectors), static_cast<i64>(first + done),
                                       static_cast<int>(bps), &got);
        if (st != 0) return st;
        if (got == 0) return STATUS_SHORT_READ;
        chunkBytes = got * static_cast<u32>(bps);
        chunkSectors = got;
      }
      u64 use = u64Limit - delivered;
      if (use > chunkBytes) use = chunkBytes;
      delivered += use;
      if (pDelivered) *pDelivered = delivered;
      int st = pfnConsume(ctx, pBuf, static_cast<u32>(use));
      if (st != 0) return st;
      done += chunkSectors;
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Health

int CNtfsFileData::DoIsFileDataHealth(_FILE_NODE_* pNode) {
  if (!pNode) return 1;
  std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[kDataBufSize]);
  if (!buf) return 1;
  std::string ext = NodeExtension(*pNode);
  char extBuf[257];
  snprintf(extBuf, sizeof(extBuf), "%s", ext.c_str());
  unsigned int len = 0;
  int st = LookupResidentData(pNode, buf.get(), len);
  if (st == 0) {
    if (len == 0) return 0;
    if (ext.empty()) return 1;
    u64 size = pNode->u64FileSize;
    int n = static_cast<int>(size != 0 && size < len ? size : len);
    return ContentMatchesExtension(buf.get(), n, extBuf, &m_DiskReader, m_nBytesPerSector, 0) ? 1 : 0;
  }
  if (st != NTFS_NOT_RESIDENT) return 1;
  std::vector<__RUNLIST__> runs;
  if (LookupHealthRunList(pNode, runs) != 0 || runs.empty()) return 1;
  const __RUNLIST__& r0 = runs[0];
  const i64 clusterBytes = static_cast<i32>(pNode->nClusterBytes);
  if (r0.bSparse || r0.i64RunOffset <= 0 || clusterBytes <= 0 || m_nBytesPerSector <= 0) return 1;
  u64 rel;
  if (__builtin_mul_overflow(static_cast<u64>(r0.i64RunOffset), static_cast<u64>(clusterBytes), &rel)) return 1;
  u64 sector = rel / static_cast<u64>(m_nBytesPerSector) + pNode->u64VolumeStartSector;
  if (sector == 0 || ext.empty()) return 1;
  unsigned int got = 0;
  if (m_DiskReader.ReadData(buf.get(), 1, static_cast<i64>(sector), m_nBytesPerSector, &got) != 0 || got == 0)
    return 1;
  return ContentMatchesExtension(buf.get(), m_nBytesPerSector, extBuf, &m_DiskReader, m_nBytesPerSector,
                                            sector)
             ? 1
             : 0;
}

// ---------------------------------------------------------------------------
// Preview

int CNtfsFileData::DoCopyFileData(_FILE_NODE_* pNode, IRecoverySink& sink) {
  if (!pNode || pNode->bIsDir) return STATUS_INVALID_PARAMETER;
  std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[kDataBufSize]);
  if (!buf) return STATUS_OUT_OF_MEMORY;
  unsigned int len = 0;
  int st = LookupResidentData(pNode, buf.get(), len);
  if (st == 0) {
    u64 size = pNode->u64FileSize;
    if (size > len) size = len;  // never past the content we hold
    return size ? sink.Write(buf.get(), static_cast<size_t>(size)) : 0;
  }
  if (st != NTFS_NOT_RESIDENT) return st;
  std::vector<__RUNLIST__> runs;
  st = LookupDataRunList(pNode, runs);
  if (st != 0) return st;

  const i64 bps = m_nBytesPerSector;
  const i64 clusterBytes = static_cast<i32>(pNode->nClusterBytes);
  if (bps <= 0 || clusterBytes <= 0 || clusterBytes % bps != 0 || clusterBytes > (1 << 24))
    return STATUS_INVALID_PARAMETER;
  const u64 spc = static_cast<u64>(clusterBytes / bps);
  u64 left = pNode->u64FileSize;
  i64 cluster = 0;
  // A damaged runlist can declare a hole of terabytes, and saving it would
  // fill the destination with zeros: holes of one file larger than the whole
  // range the engine reads are damage.
  const u64 holeSectorLimit = m_u64DataEndSector > m_u64DataFirstSector ? m_u64DataEndSector - m_u64DataFirstSector : 0;
  u64 holeSectors = 0;
  for (const __RUNLIST__& run : runs) {
    if (left == 0 || sink.Wanted() == 0) break;
    if (__builtin_add_overflow(cluster, run.i64RunOffset, &cluster)) return STATUS_INVALID_PARAMETER;
    u64 runSectors, runBytes;
    if (__builtin_mul_overflow(run.u64RunLength, spc, &runSectors) ||
        __builtin_mul_overflow(runSectors, static_cast<u64>(bps), &runBytes))
      return STATUS_INVALID_PARAMETER;
    u64 use = runBytes < left ? runBytes : left;
    if (run.bSparse) {
      u64 usedSectors = (use + static_cast<u64>(bps) - 1) / static_cast<u64>(bps);
      if (__builtin_add_overflow(holeSectors, usedSectors, &holeSectors) || holeSectors > holeSectorLimit)
        return STATUS_INVALID_PARAMETER;
      st = sink.WriteZeros(use);
    } else {
      // Runs outside the volume are damage, not data to hand out.
      u64 rel, first;
      if (cluster < 0 || __builtin_mul_overflow(static_cast<u64>(cluster), spc, &rel) ||
          __builtin_add_overflow(rel, pNode->u64VolumeStartSector, &first))
        return STATUS_INVALID_PARAMETER;
      if (first < m_u64DataFirstSector || first > m_u64DataEndSector || runSectors > m_u64DataEndSector - first)
        return STATUS_INVALID_PARAMETER;
      st = CopySectorsToSink(m_DiskReader, first, use, static_cast<int>(bps), sink);
    }
    if (st != 0) return st;
    left -= use;
  }
  // Runs that end before the file does leave it short: the writer calls that partial.
  return 0;
}
