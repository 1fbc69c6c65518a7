#include "NtfsTestUtil.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <stdexcept>

#include "TestFiles.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"
#include "store/LogFileManager.h"

namespace ntfstest {

void PutU16(Bytes& b, size_t off, uint16_t v) {
  b.at(off) = static_cast<uint8_t>(v);
  b.at(off + 1) = static_cast<uint8_t>(v >> 8);
}
void PutU32(Bytes& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(off + i) = static_cast<uint8_t>(v >> (8 * i));
}
void PutU64(Bytes& b, size_t off, uint64_t v) {
  for (int i = 0; i < 8; ++i) b.at(off + i) = static_cast<uint8_t>(v >> (8 * i));
}

namespace {

size_t Round8(size_t n) { return (n + 7) & ~size_t(7); }

int BytesFor(uint64_t v) {
  int n = 1;
  while (n < 8 && (v >> (8 * n)) != 0) ++n;
  return n;
}
int SignedBytesFor(int64_t v) {
  for (int n = 1; n < 8; ++n) {
    int64_t lo = -(int64_t(1) << (8 * n - 1)), hi = (int64_t(1) << (8 * n - 1)) - 1;
    if (v >= lo && v <= hi) return n;
  }
  return 8;
}

Bytes Utf16(const std::string& ascii) {
  Bytes b;
  for (unsigned char c : ascii) {
    b.push_back(c);
    b.push_back(0);
  }
  return b;
}

}  // namespace

Bytes EncodeRun(uint64_t length, int64_t offset, bool sparse) {
  int l = BytesFor(length);
  int f = sparse ? 0 : SignedBytesFor(offset);
  Bytes b;
  b.push_back(static_cast<uint8_t>((f << 4) | l));
  for (int i = 0; i < l; ++i) b.push_back(static_cast<uint8_t>(length >> (8 * i)));
  for (int i = 0; i < f; ++i) b.push_back(static_cast<uint8_t>(static_cast<uint64_t>(offset) >> (8 * i)));
  return b;
}

Bytes EncodeRuns(const std::vector<std::pair<uint64_t, int64_t>>& runs) {
  Bytes b;
  for (const auto& r : runs) {
    Bytes one = EncodeRun(r.first, r.second);
    b.insert(b.end(), one.begin(), one.end());
  }
  b.push_back(0);
  return b;
}

RecordBuilder::RecordBuilder(uint32_t number, uint16_t flags, uint32_t recordSize)
    : m_number(number), m_flags(flags), m_size(recordSize) {}

void RecordBuilder::Append(Bytes attr) {
  attr.resize(Round8(attr.size()));
  PutU32(attr, 4, static_cast<uint32_t>(attr.size()));
  m_attrs.push_back(attr);
}

RecordBuilder& RecordBuilder::FileName(uint32_t parent, const std::string& asciiName, uint8_t nameSpace,
                                       uint64_t size) {
  Bytes content(0x42, 0);
  PutU64(content, 0x00, (uint64_t(1) << 48) | parent);
  PutU64(content, 0x08, 0x01D5000000000000ull + m_number);  // creation
  PutU64(content, 0x10, 0x01D6000000000000ull + m_number);  // modification
  PutU64(content, 0x18, 0x01D6000000000000ull);
  PutU64(content, 0x20, 0x01D7000000000000ull + m_number);  // access
  PutU64(content, 0x28, (size + 4095) & ~uint64_t(4095));
  PutU64(content, 0x30, size);
  content[0x40] = static_cast<uint8_t>(asciiName.size());
  content[0x41] = nameSpace;
  Bytes n = Utf16(asciiName);
  content.insert(content.end(), n.begin(), n.end());
  Bytes a(0x18, 0);
  PutU32(a, 0, 0x30);
  PutU32(a, 0x10, static_cast<uint32_t>(content.size()));
  PutU16(a, 0x14, 0x18);
  a.insert(a.end(), content.begin(), content.end());
  Append(a);
  return *this;
}

RecordBuilder& RecordBuilder::ResidentData(const Bytes& data, const std::string& streamName) {
  Bytes name = Utf16(streamName);
  size_t contentOff = Round8(0x18 + name.size());
  Bytes a(contentOff, 0);
  PutU32(a, 0, 0x80);
  a[9] = static_cast<uint8_t>(streamName.size());
  PutU16(a, 0x0A, 0x18);
  if (!name.empty()) std::memcpy(a.data() + 0x18, name.data(), name.size());
  PutU32(a, 0x10, static_cast<uint32_t>(data.size()));
  PutU16(a, 0x14, static_cast<uint16_t>(contentOff));
  a.insert(a.end(), data.begin(), data.end());
  Append(a);
  return *this;
}

RecordBuilder& RecordBuilder::NonResidentData(const Bytes& runlist, uint64_t allocated, uint64_t real,
                                              const std::string& streamName, uint64_t lowestVcn, uint32_t type) {
  Bytes name = Utf16(streamName);
  size_t runOff = Round8(0x40 + name.size());
  Bytes a(runOff, 0);
  PutU32(a, 0, type);
  a[8] = 1;
  a[9] = static_cast<uint8_t>(streamName.size());
  PutU16(a, 0x0A, 0x40);
  if (!name.empty()) std::memcpy(a.data() + 0x40, name.data(), name.size());
  PutU64(a, 0x10, lowestVcn);
  PutU64(a, 0x18, allocated / 4096 ? allocated / 4096 - 1 : 0);
  PutU16(a, 0x20, static_cast<uint16_t>(runOff));
  PutU64(a, 0x28, allocated);
  PutU64(a, 0x30, real);
  PutU64(a, 0x38, real);
  a.insert(a.end(), runlist.begin(), runlist.end());
  Append(a);
  return *this;
}

RecordBuilder& RecordBuilder::AttributeList(const Bytes& content) {
  Bytes a(0x18, 0);
  PutU32(a, 0, 0x20);
  PutU32(a, 0x10, static_cast<uint32_t>(content.size()));
  PutU16(a, 0x14, 0x18);
  a.insert(a.end(), content.begin(), content.end());
  Append(a);
  return *this;
}

RecordBuilder& RecordBuilder::Raw(const Bytes& attribute) {
  m_attrs.push_back(attribute);
  return *this;
}

RecordBuilder& RecordBuilder::BaseRecord(uint64_t base) {
  m_base = base;
  return *this;
}

Bytes RecordBuilder::BuildFixed() const {
  Bytes r(m_size, 0);
  std::memcpy(r.data(), "FILE", 4);
  const uint16_t sectors = static_cast<uint16_t>(m_size / 512);
  PutU16(r, 0x04, 0x30);
  PutU16(r, 0x06, static_cast<uint16_t>(sectors + 1));
  PutU16(r, 0x10, 1);
  PutU16(r, 0x12, 1);
  PutU16(r, 0x14, 0x38);
  PutU16(r, 0x16, m_flags);
  PutU32(r, 0x1C, m_size);
  PutU64(r, 0x20, m_base);
  PutU32(r, 0x2C, m_number);
  size_t off = 0x38;
  for (const Bytes& a : m_attrs) {
    if (off + a.size() + 8 > m_size) throw std::runtime_error("record overflow in test builder");
    std::memcpy(r.data() + off, a.data(), a.size());
    off += a.size();
  }
  PutU32(r, off, 0xFFFFFFFF);
  PutU32(r, 0x18, static_cast<uint32_t>(off + 8));
  return r;
}

Bytes RecordBuilder::Build() const {
  Bytes r = BuildFixed();
  const uint16_t usn = 0x0007;
  PutU16(r, 0x30, usn);
  for (uint32_t i = 1; i <= m_size / 512; ++i) {
    size_t end = i * 512 - 2;
    r[0x32 + 2 * (i - 1)] = r[end];
    r[0x32 + 2 * (i - 1) + 1] = r[end + 1];
    PutU16(r, end, usn);
  }
  return r;
}

Bytes AttrListEntry(uint32_t type, uint64_t firstVcn, uint32_t recordNo) {
  Bytes e(0x20, 0);
  PutU32(e, 0, type);
  PutU16(e, 4, 0x20);
  e[6] = 0;
  e[7] = 0x1A;
  PutU64(e, 8, firstVcn);
  PutU64(e, 0x10, (uint64_t(1) << 48) | recordNo);
  return e;
}

bool WriteSyntheticVolume(const std::string& path, uint64_t totalSectors, uint64_t mftCluster,
                          const std::vector<Bytes>& records, const std::map<uint64_t, Bytes>& extra) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = ftruncate(fd, static_cast<off_t>(totalSectors * 512)) == 0;
  Bytes boot(512, 0);
  boot[0] = 0xEB;
  boot[1] = 0x52;
  boot[2] = 0x90;
  std::memcpy(boot.data() + 3, "NTFS    ", 8);
  PutU16(boot, 0x0B, 512);
  boot[0x0D] = 8;
  boot[0x15] = 0xF8;
  PutU64(boot, 0x28, totalSectors - 1);
  PutU64(boot, 0x30, mftCluster);
  PutU64(boot, 0x38, 2);
  boot[0x40] = 0xF6;  // 1024-byte records
  boot[510] = 0x55;
  boot[511] = 0xAA;
  ok = ok && pwrite(fd, boot.data(), 512, 0) == 512;
  const uint64_t n = records.size() < 16 ? 16 : records.size();
  const uint64_t clusters = (n * 1024 + 4095) / 4096;
  Bytes mft = RecordBuilder(0, 1)
                  .FileName(5, "$MFT", 3, n * 1024)
                  .NonResidentData(EncodeRuns({{clusters, static_cast<int64_t>(mftCluster)}}), clusters * 4096,
                                   n * 1024)
                  .Build();
  const uint64_t mftByte = mftCluster * 4096;
  ok = ok && pwrite(fd, mft.data(), mft.size(), static_cast<off_t>(mftByte)) == static_cast<ssize_t>(mft.size());
  for (size_t i = 1; i < records.size() && ok; ++i) {
    if (records[i].empty()) continue;
    ok = pwrite(fd, records[i].data(), records[i].size(), static_cast<off_t>(mftByte + i * 1024)) ==
         static_cast<ssize_t>(records[i].size());
  }
  for (const auto& e : extra) {
    if (!ok) break;
    ok = pwrite(fd, e.second.data(), e.second.size(), static_cast<off_t>(e.first * 512)) ==
         static_cast<ssize_t>(e.second.size());
  }
  close(fd);
  return ok;
}

std::string FreshScanLog(const std::string& tag) {
  std::string dir = testfiles::FreshDir(tag);
  setenv("TORVANE_SUPPORT_DIR", dir.c_str(), 1);
  CLogFileManager* m = CLogFileManager::GetInstance();
  MakeDirectories(GetScanLogDir());
  m->Reload();
  m->AddDirIndex();
  MakeDirectories(m->GetLogFileDirPath());
  return dir;
}

std::map<std::string, ListedNode> ListTree(IFileRecoveryParse& engine) {
  std::map<std::string, ListedNode> out;
  struct Pending {
    bool top;
    _FILE_NODE_ node;
    unsigned int level;
    std::string prefix;
  };
  std::deque<Pending> queue;
  Pending first;
  first.top = true;
  std::memset(&first.node, 0, sizeof(first.node));
  first.level = 0;
  queue.push_back(first);
  size_t guard = 0;
  while (!queue.empty() && ++guard < 100000) {
    Pending p = queue.front();
    queue.pop_front();
    FILE_NODE_VECTOR children;
    engine.GetChildrenFileNode(p.top ? nullptr : &p.node, p.level, children);
    for (const _FILE_NODE_& c : children) {
      std::string name(c.szFileName, strnlen(c.szFileName, sizeof(c.szFileName)));
      std::string path = p.prefix + name;
      ListedNode ln;
      ln.node = c;
      ln.folder = p.prefix;
      ln.level = p.level;
      out[path] = ln;
      if (c.bIsDir) {
        Pending q;
        q.top = false;
        q.node = c;
        q.level = p.level + 1;
        q.prefix = path + "/";
        queue.push_back(q);
      }
    }
  }
  return out;
}

std::string ManifestTreePath(const std::string& folder, const std::string& name) {
  std::string f = folder;
  while (!f.empty() && f[0] == '/') f.erase(0, 1);
  if (!f.empty() && f.back() != '/') f += "/";
  return f + name;
}

std::wstring W(const std::string& s) { return Utf8ToWide(s); }

}  // namespace ntfstest
