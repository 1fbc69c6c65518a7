#include "ntfs/NtfsParse.h"

#include "engine/ByteOrder.h"
#include "engine/TextUtil.h"

namespace {

// Smallest headers: a resident attribute needs 0x18 bytes, a non-resident
// one 0x40 (through the real and initialised sizes).
constexpr u32 kResidentHeader = 0x18;
constexpr u32 kNonResidentHeader = 0x40;
// File-name content: the name itself starts at 0x42.
constexpr u32 kFileNameFixed = 0x42;

bool MulU64(u64 a, u64 b, u64& out) { return !__builtin_mul_overflow(a, b, &out); }
bool AddI64(i64 a, i64 b, i64& out) { return !__builtin_add_overflow(a, b, &out); }

}  // namespace

// ---------------------------------------------------------------------------
// Attribute iterator

CNtfsAttrIterator::CNtfsAttrIterator(const u8* pRecord, u32 nRecordSize)
    : m_pRecord(pRecord), m_nUsed(0), m_nOffset(0), m_bDone(true), m_bCorrupt(false) {
  if (!pRecord || nRecordSize < 0x30) {
    m_bCorrupt = true;
    return;
  }
  u16 first = GetU16LE(pRecord, nRecordSize, 0x14);  // 0x14: first attribute
  u32 used = GetU32LE(pRecord, nRecordSize, 0x18);   // 0x18: bytes in use
  // Bytes in use past the record, or a first attribute inside the header or
  // off the 8-byte grid, mean the header itself is damaged.
  if (used > nRecordSize || first < 0x30 || (first & 7) != 0) {
    m_bCorrupt = true;
    return;
  }
  m_nUsed = used;
  m_nOffset = first;
  m_bDone = first >= used;
}

bool CNtfsAttrIterator::Next(NTFS_ATTR& out) {
  if (m_bDone) return false;
  const u8* r = m_pRecord;
  const u32 used = m_nUsed;
  const u32 off = m_nOffset;
  u32 type = 0;
  if (!ReadU32LE(r, used, off, type) || type == NTFS_ATTR_END || type == 0) {
    // Running into the bytes-in-use bound without an end marker is still a
    // clean end; 0 is what a cleared tail holds.
    m_bDone = true;
    return false;
  }
  m_bDone = true;  // until proven sound
  u32 len = 0;
  if (!ReadU32LE(r, used, off + 4, len) || len < kResidentHeader || (len & 7) != 0 || len > used - off) {
    m_bCorrupt = true;
    return false;
  }
  NTFS_ATTR a;
  a.nType = type;
  a.nOffset = off;
  a.nLength = len;
  const u8* p = r + off;  // len bytes, all inside the record
  u8 nonResident = p[8];
  a.nNameLength = p[9];
  a.nNameOffset = GetU16LE(p, len, 0x0A);
  if (nonResident > 1) {
    m_bCorrupt = true;
    return false;
  }
  a.bNonResident = nonResident == 1;
  if (a.nNameLength != 0) {
    u32 nameEnd = static_cast<u32>(a.nNameOffset) + 2u * a.nNameLength;
    if (a.nNameOffset < 0x10 || nameEnd > len) {
      m_bCorrupt = true;
      return false;
    }
  }
  if (!a.bNonResident) {
    a.nContentLength = GetU32LE(p, len, 0x10);
    a.nContentOffset = GetU16LE(p, len, 0x14);
    u64 contentEnd = static_cast<u64>(a.nContentOffset) + a.nContentLength;
    if (a.nContentOffset < kResidentHeader || contentEnd > len) {
      m_bCorrupt = true;
      return false;
    }
  } else {
    a.u64LowestVcn = GetU64LE(p, len, 0x10);
    a.nRunListOffset = GetU16LE(p, len, 0x20);
    a.u64AllocatedSize = GetU64LE(p, len, 0x28);
    a.u64RealSize = GetU64LE(p, len, 0x30);
    if (len < kNonResidentHeader || a.nRunListOffset < kNonResidentHeader || a.nRunListOffset >= len) {
      m_bCorrupt = true;
      return false;
    }
  }
  m_nOffset = off + len;
  m_bDone = false;
  out = a;
  return true;
}

// ---------------------------------------------------------------------------
// Record summary

int ParseNtfsRecordInfo(const u8* pRecord, u32 nRecordSize, NTFS_RECORD_INFO& out) {
  out = NTFS_RECORD_INFO();
  if (!BytesEqual(pRecord, nRecordSize, 0, "FILE", 4)) return -1;
  out.nSequence = GetU16LE(pRecord, nRecordSize, 0x10);
  out.nFlags = GetU16LE(pRecord, nRecordSize, 0x16);
  out.u64BaseRecord = GetU64LE(pRecord, nRecordSize, 0x20) & 0xFFFFFFFFFFFFull;
  out.nRecordNO = GetU32LE(pRecord, nRecordSize, 0x2C);

  CNtfsAttrIterator it(pRecord, nRecordSize);
  NTFS_ATTR a;
  while (it.Next(a)) {
    const u8* p = pRecord + a.nOffset;
    if (a.nType == NTFS_ATTR_ATTRIBUTE_LIST) {
      out.bHasAttrList = true;
    } else if (a.nType == NTFS_ATTR_FILE_NAME) {
      if (a.bNonResident || a.nContentLength < kFileNameFixed) return STATUS_INVALID_PARAMETER;
      const u8* c = p + a.nContentOffset;
      const u32 clen = a.nContentLength;
      u8 nameUnits = c[0x40];
      u8 nameSpace = c[0x41];
      if (kFileNameFixed + 2u * nameUnits > clen) return STATUS_INVALID_PARAMETER;
      if (!out.bHasFileName) {
        out.bHasFileName = true;
        out.nParentNO = GetU32LE(c, clen, 0x00);
        out.ftCreate = GetU64LE(c, clen, 0x08);
        out.ftModify = GetU64LE(c, clen, 0x10);
        out.ftAccess = GetU64LE(c, clen, 0x20);
        out.u64NameSize = GetU64LE(c, clen, 0x30);
        out.nNameSpace = nameSpace;
        out.strName = Utf16LEBytesToUtf8(c + kFileNameFixed, nameUnits);
      } else if (nameSpace == 1 || (out.nNameSpace == 2 && nameSpace != 2)) {
        // A long (Win32) name wins over the 8.3 one.
        out.nNameSpace = nameSpace;
        out.strName = Utf16LEBytesToUtf8(c + kFileNameFixed, nameUnits);
      }
    } else if (a.nType == NTFS_ATTR_DATA && a.nNameLength != 0) {
      // A named stream, from the attribute that holds its first bytes.
      if ((a.bNonResident && a.u64LowestVcn != 0) || out.vecStreams.size() >= NTFS_MAX_STREAMS) continue;
      NTFS_STREAM st;
      st.u64Key = NtfsAttrStreamKey(pRecord, a);
      bool known = false;
      for (const NTFS_STREAM& k : out.vecStreams) known = known || k.u64Key == st.u64Key;
      if (known) continue;
      st.strName = Utf16LEBytesToUtf8(p + a.nNameOffset, a.nNameLength);
      st.bResident = !a.bNonResident;
      st.u64Size = a.bNonResident ? a.u64RealSize : a.nContentLength;
      out.vecStreams.push_back(st);
    } else if (a.nType == NTFS_ATTR_DATA && a.nNameLength == 0 && !out.bHasData) {
      // Only the unnamed stream is the file's data; a named one is an
      // alternate stream and must not stand in for it.
      if (!a.bNonResident) {
        out.bHasData = true;
        out.bDataResident = true;
        out.u64DataSize = a.nContentLength;
      } else if (a.u64LowestVcn == 0) {
        out.bHasData = true;
        out.u64DataSize = a.u64RealSize;
      }
    }
  }
  if (it.IsCorrupt()) return STATUS_INVALID_PARAMETER;
  return 0;
}

u64 NtfsStreamKey(const u8* pName, u32 nUnits) {
  // FNV-1a over the name's bytes as they lie on the disk.
  u64 h = 0xcbf29ce484222325ull;
  for (u32 i = 0; pName && i < 2 * nUnits; ++i) {
    h ^= pName[i];
    h *= 0x100000001b3ull;
  }
  return h ? h : 1;
}

u64 NtfsAttrStreamKey(const u8* pRecord, const NTFS_ATTR& a) {
  if (!pRecord || a.nNameLength == 0) return 0;
  return NtfsStreamKey(pRecord + a.nOffset + a.nNameOffset, a.nNameLength);
}

bool FindNtfsAttribute(const u8* pRecord, u32 nRecordSize, u32 nType, NTFS_ATTR& out, bool* pHasAttrList,
                       bool* pCorrupt) {
  if (pHasAttrList) *pHasAttrList = false;
  if (pCorrupt) *pCorrupt = false;
  CNtfsAttrIterator it(pRecord, nRecordSize);
  NTFS_ATTR a;
  bool haveNamed = false;
  NTFS_ATTR named;
  while (it.Next(a)) {
    if (a.nType == NTFS_ATTR_ATTRIBUTE_LIST && pHasAttrList) *pHasAttrList = true;
    if (a.nType != nType) continue;
    if (a.nNameLength == 0) {
      out = a;
      return true;
    }
    if (!haveNamed) {
      named = a;
      haveNamed = true;
    }
  }
  if (pCorrupt) *pCorrupt = it.IsCorrupt();
  if (haveNamed) {
    out = named;
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// CNtfsParse

CNtfsParse::CNtfsParse() : m_nSectorPerFileRecord(2), m_nBytesPerSector(512) {}

int CNtfsParse::Init(int nBytesPerSector) {
  m_nBytesPerSector = nBytesPerSector;
  m_nSectorPerFileRecord = nBytesPerSector == 512 ? 2 : 1;
  return 0;
}

int CNtfsParse::FileRecordFixUp(unsigned char* pRecord) {
  if (!pRecord || pRecord[0] == 0) return -1;
  const int n = m_nSectorPerFileRecord;
  const int s = m_nBytesPerSector;
  if (n <= 0 || n > 8 || s < 0x40) return -1;
  u8 entries[16];
  for (int i = 0; i < 2 * n; ++i) entries[i] = pRecord[0x32 + i];
  // The true last two bytes of each sector live in the array; the bytes they
  // replace (the update sequence number) are not compared: a torn record is
  // still worth reading.
  for (int i = 1; i <= n; ++i) {
    pRecord[i * s - 2] = entries[2 * (i - 1)];
    pRecord[i * s - 1] = entries[2 * (i - 1) + 1];
  }
  return 0;
}

void CNtfsParse::GetRunList(const unsigned char* pAttribute, u32 nAvail, std::vector<__RUNLIST__>& vecRunList) {
  if (!pAttribute || nAvail < 0x22) return;
  u32 attrLen = GetU32LE(pAttribute, nAvail, 0x04);
  // Bounded by the attribute and the buffer, never by the sector size: long
  // runlists (fragmented files) are exactly the ones we must decode.
  const u32 bound = attrLen < nAvail ? attrLen : nAvail;
  u32 p = GetU16LE(pAttribute, nAvail, 0x20);
  size_t added = 0;
  while (p < bound && added < NTFS_MAX_RUNS) {
    u8 h = pAttribute[p];
    u32 lenBytes = h & 0x0F;
    u32 offBytes = h >> 4;
    // 0 ends the list; a run without length bytes or with over-long fields
    // is damage.
    if (h == 0 || lenBytes == 0 || lenBytes > 7 || offBytes > 7) break;
    if (1 + lenBytes + offBytes > bound - p) break;
    u64 length = 0;
    for (u32 i = 0; i < lenBytes; ++i) length |= static_cast<u64>(pAttribute[p + 1 + i]) << (8 * i);
    if (length == 0) break;  // a 0-length run would read as "contiguous MFT" later
    i64 offset = 0;
    if (offBytes != 0) {
      u64 v = 0;
      for (u32 i = 0; i < offBytes; ++i) v |= static_cast<u64>(pAttribute[p + 1 + lenBytes + i]) << (8 * i);
      if (pAttribute[p + lenBytes + offBytes] & 0x80) v |= ~0ull << (8 * offBytes);
      offset = static_cast<i64>(v);
    }
    __RUNLIST__ run;
    run.u64RunLength = length;
    run.i64RunOffset = offset;
    run.bSparse = offBytes == 0;
    vecRunList.push_back(run);
    ++added;
    p += 1 + lenBytes + offBytes;
  }
}

void CNtfsParse::GetRunList(const unsigned char* pAttribute, std::vector<__RUNLIST__>& vecRunList) {
  if (!pAttribute) return;
  u32 attrLen = static_cast<u32>(pAttribute[4]) | (static_cast<u32>(pAttribute[5]) << 8) |
                (static_cast<u32>(pAttribute[6]) << 16) | (static_cast<u32>(pAttribute[7]) << 24);
  GetRunList(pAttribute, attrLen, vecRunList);
}

// ---------------------------------------------------------------------------
// Free functions

bool IsNtfsFileRecord(unsigned char* pBuf, int nRecordSize) {
  if (!pBuf || nRecordSize <= 0) return false;
  const size_t n = 512;
  if (!BytesEqual(pBuf, n, 0, "FILE", 4)) return false;
  u32 used = GetU32LE(pBuf, n, 0x18);
  u32 allocated = GetU32LE(pBuf, n, 0x1C);
  if (used > static_cast<u32>(nRecordSize) || allocated != static_cast<u32>(nRecordSize)) return false;
  return GetU16LE(pBuf, n, 0x30) == GetU16LE(pBuf, n, 510);
}

bool GetRecordRelativeSector(const std::vector<__RUNLIST__>& vecMftRuns, u64 nRecordNO, u32 nSectorPerRecord,
                             u32 nSectorPerCluster, u64& u64Sector) {
  u64Sector = 0;
  if (nSectorPerCluster == 0 || nSectorPerRecord == 0) return false;
  u64 t;
  if (!MulU64(nRecordNO, nSectorPerRecord, t)) return false;
  const i64 k = nSectorPerCluster;
  u64 before = 0;  // MFT sectors held by the runs already passed
  i64 cluster = 0;
  for (const __RUNLIST__& run : vecMftRuns) {
    if (!AddI64(cluster, run.i64RunOffset, cluster)) return false;
    if (run.u64RunLength == 0) {
      // Synthetic run: the MFT is assumed contiguous from this cluster.
      if (cluster < 0 || cluster > INT64_MAX / k) return false;
      u64 base = static_cast<u64>(cluster * k);
      if (base > UINT64_MAX - t) return false;
      u64Sector = base + t;
      return true;
    }
    u64 span;
    if (!MulU64(run.u64RunLength, static_cast<u64>(k), span)) return false;
    if (t >= before && t - before < span) {
      if (run.bSparse || cluster < 0 || cluster > INT64_MAX / k) return false;
      u64Sector = t - before + static_cast<u64>(cluster * k);
      return true;
    }
    if (before > UINT64_MAX - span) return false;
    before += span;
  }
  return false;
}

u64 GetRunListClusterCount(const std::vector<__RUNLIST__>& vecRuns) {
  u64 total = 0;
  for (const __RUNLIST__& r : vecRuns) {
    if (r.u64RunLength > UINT64_MAX - total) return UINT64_MAX;
    total += r.u64RunLength;
  }
  return total;
}

void AppendRunListExtent(std::vector<__RUNLIST__>& vecRuns, const std::vector<__RUNLIST__>& vecExtent) {
  if (vecExtent.empty()) return;
  i64 last = 0;
  for (const __RUNLIST__& r : vecRuns)
    if (__builtin_add_overflow(last, r.i64RunOffset, &last)) return;
  bool first = true;
  for (const __RUNLIST__& r : vecExtent) {
    if (vecRuns.size() >= NTFS_MAX_RUNS) return;
    __RUNLIST__ x = r;
    if (first) {
      // The extent's first run names an absolute cluster; make it a delta.
      i64 delta;
      if (__builtin_sub_overflow(r.i64RunOffset, last, &delta)) return;
      x.i64RunOffset = r.bSparse ? 0 : delta;
      if (r.bSparse) {
        // A leading sparse run keeps the base where it was; the next real
        // run's offset is absolute too, so rebase that one instead.
        vecRuns.push_back(x);
        continue;
      }
      first = false;
    }
    vecRuns.push_back(x);
  }
}
