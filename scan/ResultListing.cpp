#include "scan/ResultListing.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "carve/FileTypeRecovery.h"
#include "engine/ByteOrder.h"
#include "engine/TextUtil.h"
#include "scan/ProfessionalRecovery.h"
#include "scan/ScanSession.h"
#include "store/ExternalSort.h"
#include "store/ResultMetaFile.h"
#include "store/ScanResultFileManager.h"

namespace {

// Items sorted in memory at once, by their encoded size (about 200 bytes each).
constexpr size_t kRunBytes = 24u << 20;
// Items per read when walking the whole listing.
constexpr u32 kPageItems = 4096;
// Bytes of a node before its name, stored as they are.
constexpr size_t kNodeHead = offsetof(_FILE_NODE_, szFileName);
// Where in an item's bytes its flags lie (after the u32 length in the data file).
constexpr size_t kFlagsAt = 0;
constexpr u8 kFlagThumbnail = 0x01;
// An item's bytes are far below this; anything larger is a damaged file.
constexpr u32 kMaxItemBytes = 1u << 16;

int WriteAll(int fd, const void* p, size_t n, u64 offset) {
  const char* c = static_cast<const char*>(p);
  while (n > 0) {
    ssize_t w = pwrite(fd, c, n, static_cast<off_t>(offset));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return errno ? errno : EIO;
    c += w;
    n -= static_cast<size_t>(w);
    offset += static_cast<u64>(w);
  }
  return 0;
}

int ReadAll(int fd, void* p, size_t n, u64 offset) {
  char* c = static_cast<char*>(p);
  while (n > 0) {
    ssize_t r = pread(fd, c, n, static_cast<off_t>(offset));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return r < 0 && errno ? errno : EIO;
    c += r;
    n -= static_cast<size_t>(r);
    offset += static_cast<u64>(r);
  }
  return 0;
}

void PutBE(std::string& out, u64 v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void PutLE(std::string& out, u64 v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void PutText(std::string& out, const std::string& s) {
  PutLE(out, s.size(), 2);
  out += s;
}

// An item's bytes: flags, id, the node's fixed head, its name, then the listing's fields.
std::string Encode(const RESULT_ITEM& item) {
  std::string out;
  out.push_back(static_cast<char>(item.bThumbnail ? kFlagThumbnail : 0));
  PutLE(out, item.nId, 4);
  out.append(reinterpret_cast<const char*>(static_cast<const _FILE_NODE_*>(&item.node)), kNodeHead);
  PutText(out, std::string(item.node.szFileName, strnlen(item.node.szFileName, sizeof(item.node.szFileName))));
  for (const std::string* s : {&item.strName, &item.strFolder, &item.strTitle, &item.strArtist, &item.strCamera})
    PutText(out, *s);
  PutLE(out, static_cast<u32>(item.nPartition), 4);
  PutLE(out, item.u64FirstSector, 8);
  out.push_back(static_cast<char>(item.eKind));
  PutLE(out, static_cast<u64>(item.tCaptured), 8);
  PutLE(out, item.nWidth, 4);
  PutLE(out, item.nHeight, 4);
  return out;
}

// Reads what Encode wrote, every field checked against the end.
class CItemReader {
 public:
  CItemReader(const u8* p, size_t n) : m_p(p), m_n(n) {}
  u64 Le(int bytes) {
    u64 v = 0;
    if (!InBounds(m_n, m_at, static_cast<size_t>(bytes))) {
      m_bBad = true;
      return 0;
    }
    for (int i = 0; i < bytes; ++i) v |= static_cast<u64>(m_p[m_at + static_cast<size_t>(i)]) << (8 * i);
    m_at += static_cast<size_t>(bytes);
    return v;
  }
  std::string Text() {
    size_t len = static_cast<size_t>(Le(2));
    if (!InBounds(m_n, m_at, len)) {
      m_bBad = true;
      return std::string();
    }
    std::string s(reinterpret_cast<const char*>(m_p + m_at), len);
    m_at += len;
    return s;
  }
  bool Bytes(void* out, size_t len) {
    if (!InBounds(m_n, m_at, len)) return !(m_bBad = true);
    memcpy(out, m_p + m_at, len);
    m_at += len;
    return true;
  }
  bool Bad() const { return m_bBad; }

 private:
  const u8* m_p;
  size_t m_n;
  size_t m_at = 0;
  bool m_bBad = false;
};

bool Decode(const u8* p, size_t n, RESULT_ITEM& item) {
  item = RESULT_ITEM();
  CItemReader r(p, n);
  item.bThumbnail = (r.Le(1) & kFlagThumbnail) != 0;
  item.nId = static_cast<u32>(r.Le(4));
  r.Bytes(static_cast<_FILE_NODE_*>(&item.node), kNodeHead);
  std::string name = r.Text();
  memcpy(item.node.szFileName, name.data(), std::min(name.size(), sizeof(item.node.szFileName) - 1));
  for (std::string* s : {&item.strName, &item.strFolder, &item.strTitle, &item.strArtist, &item.strCamera}) *s = r.Text();
  item.nPartition = static_cast<int>(static_cast<u32>(r.Le(4)));
  item.u64FirstSector = r.Le(8);
  const u64 kind = r.Le(1);
  item.eKind = kind < category::COUNT ? static_cast<category::Kind>(kind) : category::OTHER;
  item.tCaptured = static_cast<i64>(r.Le(8));
  item.nWidth = static_cast<u32>(r.Le(4));
  item.nHeight = static_cast<u32>(r.Le(4));
  return !r.Bad();
}

// The listing's order: folder, then name, then first sector; what follows
// only makes ties come out the same on every run.
std::string SortKey(const RESULT_ITEM& item) {
  std::string key;
  key.reserve(item.strFolder.size() + item.strName.size() + 40);
  // Neither text holds a NUL: the NUL after each ends it before any longer text with the same start.
  key += item.strFolder;
  key.push_back('\0');
  key += item.strName;
  key.push_back('\0');
  PutBE(key, item.u64FirstSector, 8);
  PutBE(key, item.node.nEngineType, 4);
  PutBE(key, item.node.u64VolumeStartSector, 8);
  PutBE(key, item.node.nFileIndex, 4);
  PutBE(key, item.node.u64RecordSector, 8);
  return key;
}

void ApplyMetadata(const _RESULT_META_& r, RESULT_ITEM& item) {
  item.strTitle = CleanMetadataText(r.szTitle, strnlen(r.szTitle, sizeof(r.szTitle)), sizeof(r.szTitle));
  item.strArtist = CleanMetadataText(r.szArtist, strnlen(r.szArtist, sizeof(r.szArtist)), sizeof(r.szArtist));
  const std::string make = CleanMetadataText(r.szMake, strnlen(r.szMake, sizeof(r.szMake)), sizeof(r.szMake));
  const std::string model = CleanMetadataText(r.szModel, strnlen(r.szModel, sizeof(r.szModel)), sizeof(r.szModel));
  // Makers often repeat their name in the model ("Canon" / "Canon EOS R6").
  item.strCamera =
      !make.empty() && model.compare(0, make.size(), make) != 0 ? make + (model.empty() ? "" : " ") + model : model;
  item.tCaptured = r.nCaptured > 0 ? r.nCaptured : 0;
  item.nWidth = r.nWidth;
  item.nHeight = r.nHeight;
  item.strName =
      MetadataFileName(item.strName, item.eKind, item.strTitle, item.strArtist, item.strCamera, item.tCaptured);
}

}  // namespace

CResultListing::~CResultListing() {
  if (m_nDataFd >= 0) close(m_nDataFd);
  if (m_nIndexFd >= 0) close(m_nIndexFd);
}

int CResultListing::Build(CProfessionalRecovery& engine, const PARTITION_OF& partitionOf, const std::string& tempDir,
                          size_t nRunRecords, std::shared_ptr<CResultListing>& out) {
  out.reset();
  // What carved files say about themselves, read alongside them in index order.
  CResultMetaCursor meta;
  if (CFileTypeRecovery* carver = engine.GetFileTypeEngine())
    if (carver->GetStore()) meta.Open(carver->MetadataPath(), tempDir);

  CResultListingBuilder builder(tempDir, nRunRecords);
  bool all[category::COUNT];
  for (bool& b : all) b = true;
  std::wstring pattern = Utf8ToWide(category::SearchPattern(all));
  int status = 0;
  engine.InitSearchCallBack(nullptr, nullptr);
  RESULT_ITEM item;
  engine.SearchFileNodeEach(&pattern[0], [&](__SEARCH_FILE_INFO__& hit) {
    item = RESULT_ITEM();
    item.node = hit;
    item.strName.assign(hit.szFileName, strnlen(hit.szFileName, sizeof(hit.szFileName)));
    if (hit.nEngineType != ENGINE_FILE_TYPE) {
      wchar_t folder[1024] = {0};
      if (engine.GetFileNodeParentDirPath(&item.node, folder, 1024) == 0) {
        folder[1023] = 0;
        item.strFolder = WideToUtf8(folder);
      }
      // Always "/a/b/": a leading and a trailing slash, "/" for the root.
      if (item.strFolder.empty() || item.strFolder[0] != '/') item.strFolder.insert(0, "/");
      if (item.strFolder.back() != '/') item.strFolder.push_back('/');
    }
    item.u64FirstSector = engine.GetFileDataStartSector(hit);
    // A file without data sectors (resident, empty) lies where its record does.
    u64 where = item.u64FirstSector ? item.u64FirstSector
                                    : (hit.u64RecordSector ? hit.u64RecordSector : hit.u64VolumeStartSector);
    item.nPartition = partitionOf ? partitionOf(where) : 0;
    item.eKind = category::OfExtension(LowerExtension(item.strName));
    if (hit.nEngineType == ENGINE_FILE_TYPE) {
      const _RESULT_META_* m = meta.Find(hit.nFileIndex);
      if (m && m->u64RecordSector == hit.u64RecordSector) ApplyMetadata(*m, item);
    }
    status = builder.Add(item);
    return status == 0;
  });
  if (status != 0) return status;
  return builder.Finish(out);
}

CResultListingBuilder::CResultListingBuilder(const std::string& tempDir, size_t nRunRecords)
    : m_strTempDir(tempDir), m_nRunRecords(nRunRecords), m_pSort(new CExternalSort(tempDir, kRunBytes, nRunRecords)) {}

CResultListingBuilder::~CResultListingBuilder() = default;

int CResultListingBuilder::Add(const RESULT_ITEM& item) {
  return m_pSort ? m_pSort->Add(SortKey(item), Encode(item)) : STATUS_INVALID_PARAMETER;
}

int CResultListingBuilder::Finish(std::shared_ptr<CResultListing>& out) {
  out.reset();
  if (!m_pSort) return STATUS_INVALID_PARAMETER;
  std::unique_ptr<CExternalSort> sort = std::move(m_pSort);
  std::shared_ptr<CResultListing> listing(new CResultListing());
  listing->m_nDataFd = OpenUnnamedTempFile(m_strTempDir);
  listing->m_nIndexFd = OpenUnnamedTempFile(m_strTempDir);
  if (listing->m_nDataFd < 0 || listing->m_nIndexFd < 0) return errno ? errno : EIO;
  int status = 0;
  // Numbered in order as they are written; each photo's bytes go to a
  // second sort, by where they start, to find the thumbnails inside others.
  CExternalSort spans(m_strTempDir, 8u << 20, m_nRunRecords);
  std::vector<u64> offsets;
  offsets.reserve(4096);
  u64 indexAt = 0;
  RESULT_ITEM item;
  status = sort->Merge([&](const std::string&, const std::string& payload) {
    const u32 id = listing->m_nCount + 1;
    std::string bytes = payload;
    for (int i = 0; i < 4; ++i) bytes[1 + static_cast<size_t>(i)] = static_cast<char>(id >> (8 * i));
    if (!Decode(reinterpret_cast<const u8*>(bytes.data()), bytes.size(), item)) {
      status = EIO;
      return false;
    }
    std::string record;
    PutLE(record, bytes.size(), 4);
    record += bytes;
    offsets.push_back(listing->m_u64DataBytes);
    status = WriteAll(listing->m_nDataFd, record.data(), record.size(), listing->m_u64DataBytes);
    listing->m_u64DataBytes += record.size();
    if (status == 0 && offsets.size() == 4096) {
      status = WriteAll(listing->m_nIndexFd, offsets.data(), offsets.size() * 8, indexAt);
      indexAt += offsets.size() * 8;
      offsets.clear();
    }
    listing->m_nCount = id;
    listing->m_nDeleted += item.IsDeleted() ? 1 : 0;
    listing->m_u64PathBytes += item.strFolder.size() + item.strName.size();
    if (status == 0 && item.eKind == category::PHOTO && item.u64FirstSector != 0 && item.node.u64FileSize != 0 &&
        item.u64FirstSector <= (~0ull - item.node.u64FileSize) / SECTOR_SIZE) {
      const u64 start = item.u64FirstSector * SECTOR_SIZE;
      std::string key;
      // By start, the longest first.
      PutBE(key, start, 8);
      PutBE(key, ~(start + item.node.u64FileSize), 8);
      PutBE(key, id, 4);
      const bool small = item.nWidth && item.nHeight && item.nWidth < 256 && item.nHeight < 256;
      status = spans.Add(key, std::string(1, small ? '\1' : '\0'));
    }
    return status == 0 && listing->m_nCount < 0xFFFFFFFEu;
  });
  if (status == 0 && !offsets.empty()) status = WriteAll(listing->m_nIndexFd, offsets.data(), offsets.size() * 8, indexAt);
  if (status != 0) return status;

  // A picture is inside another when one that starts no later reaches at
  // least as far, and is not the same bytes.
  u64 reach = 0, reachStart = 0;
  bool any = false;
  status = spans.Merge([&](const std::string& key, const std::string& payload) {
    const u8* k = reinterpret_cast<const u8*>(key.data());
    u64 start = 0, end = 0;
    u32 id = 0;
    for (int i = 0; i < 8; ++i) start = (start << 8) | k[i];
    for (int i = 8; i < 16; ++i) end = (end << 8) | k[i];
    for (int i = 16; i < 20; ++i) id = (id << 8) | k[i];
    end = ~end;
    const bool inside = any && (reach > end || (reach == end && reachStart < start));
    if (inside && payload[0] == '\1') {
      u64 at = 0;
      const u8 flag = kFlagThumbnail;
      status = ReadAll(listing->m_nIndexFd, &at, 8, static_cast<u64>(id - 1) * 8);
      if (status == 0) status = WriteAll(listing->m_nDataFd, &flag, 1, at + 4 + kFlagsAt);
    }
    if (!any || end > reach) {
      reach = end;
      reachStart = start;
      any = true;
    }
    return status == 0;
  });
  if (status != 0) return status;
  out = std::move(listing);
  return 0;
}

int CResultListing::Read(u32 nFirst, u32 nCount, std::vector<RESULT_ITEM>& out) const {
  out.clear();
  if (nFirst >= m_nCount || nCount == 0) return 0;
  if (nCount > m_nCount - nFirst) nCount = m_nCount - nFirst;
  std::vector<u64> offsets(static_cast<size_t>(nCount) + 1);
  const bool last = nFirst + nCount == m_nCount;
  int status = ReadAll(m_nIndexFd, offsets.data(), (nCount + (last ? 0 : 1)) * 8ull, nFirst * 8ull);
  if (status != 0) return status;
  if (last) offsets[nCount] = m_u64DataBytes;
  if (offsets[nCount] < offsets[0] || offsets[nCount] - offsets[0] > static_cast<u64>(nCount) * (kMaxItemBytes + 4))
    return EIO;
  std::vector<u8> bytes(static_cast<size_t>(offsets[nCount] - offsets[0]));
  status = ReadAll(m_nDataFd, bytes.data(), bytes.size(), offsets[0]);
  if (status != 0) return status;
  out.resize(nCount);
  size_t at = 0;
  for (u32 i = 0; i < nCount; ++i) {
    const u32 len = GetU32LE(bytes.data(), bytes.size(), at);
    if (len > kMaxItemBytes || !InBounds(bytes.size(), at + 4, len) || !Decode(bytes.data() + at + 4, len, out[i])) {
      out.clear();
      return EIO;
    }
    at += 4 + static_cast<size_t>(len);
  }
  return 0;
}

int CResultListing::Get(u32 nPos, RESULT_ITEM& out) const {
  if (nPos >= m_nCount) return STATUS_INVALID_PARAMETER;
  std::vector<RESULT_ITEM> one;
  int status = Read(nPos, 1, one);
  if (status == 0) out = std::move(one[0]);
  return status;
}

int CResultListing::ForEach(const std::function<bool(const RESULT_ITEM&)>& visit) const {
  std::vector<RESULT_ITEM> page;
  for (u32 first = 0; first < m_nCount; first += kPageItems) {
    int status = Read(first, kPageItems, page);
    if (status != 0) return status;
    for (const RESULT_ITEM& item : page)
      if (!visit(item)) return 0;
  }
  return 0;
}
