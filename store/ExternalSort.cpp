#include "store/ExternalSort.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <queue>

#include "engine/ByteOrder.h"

namespace {

// Runs merged at once: each holds a read buffer while it is merged.
constexpr size_t kMaxFanIn = 32;
constexpr size_t kReadBuffer = 128 * 1024;
constexpr size_t kWriteBuffer = 1024 * 1024;
// A record's two lengths before its bytes.
constexpr size_t kHeader = 8;

int WriteAll(int fd, const char* p, size_t n, u64 offset) {
  while (n > 0) {
    ssize_t w = pwrite(fd, p, n, static_cast<off_t>(offset));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return errno ? errno : EIO;
    p += w;
    n -= static_cast<size_t>(w);
    offset += static_cast<u64>(w);
  }
  return 0;
}

void PutU32(std::string& out, u32 v) {
  char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
  out.append(b, 4);
}

bool KeyLess(const std::string& a, const std::string& b) { return a < b; }

// Appends records to a file through a buffer.
class CRunWriter {
 public:
  CRunWriter(int fd, u64 offset) : m_nFd(fd), m_u64Offset(offset) { m_buf.reserve(kWriteBuffer); }
  int Put(const std::string& key, const std::string& payload) {
    PutU32(m_buf, static_cast<u32>(key.size()));
    PutU32(m_buf, static_cast<u32>(payload.size()));
    m_buf += key;
    m_buf += payload;
    return m_buf.size() >= kWriteBuffer ? Flush() : 0;
  }
  int Flush() {
    int st = WriteAll(m_nFd, m_buf.data(), m_buf.size(), m_u64Offset + m_u64Written);
    m_u64Written += m_buf.size();
    m_buf.clear();
    return st;
  }
  u64 Written() const { return m_u64Written + m_buf.size(); }

 private:
  int m_nFd;
  u64 m_u64Offset, m_u64Written = 0;
  std::string m_buf;
};

// Reads one run's records in order through a buffer.
class CRunReader {
 public:
  CRunReader(int fd, u64 offset, u64 bytes) : m_nFd(fd), m_u64Next(offset), m_u64Left(bytes) {}
  // False at the run's end or on a damaged record (status set).
  bool Next(int& nStatus) {
    u32 keyLen = 0, payloadLen = 0;
    if (!Fill(kHeader, nStatus)) return false;
    keyLen = GetU32LE(reinterpret_cast<const u8*>(m_buf.data()), m_buf.size(), m_nPos);
    payloadLen = GetU32LE(reinterpret_cast<const u8*>(m_buf.data()), m_buf.size(), m_nPos + 4);
    const size_t whole = kHeader + static_cast<size_t>(keyLen) + payloadLen;
    if (!Fill(whole, nStatus)) {
      if (nStatus == 0) nStatus = EIO;  // a record cut short: our own file was damaged
      return false;
    }
    key.assign(m_buf, m_nPos + kHeader, keyLen);
    payload.assign(m_buf, m_nPos + kHeader + keyLen, payloadLen);
    m_nPos += whole;
    return true;
  }
  std::string key, payload;

 private:
  // At least n bytes from m_nPos in the buffer; false at the run's end.
  bool Fill(size_t n, int& nStatus) {
    if (m_buf.size() - m_nPos >= n) return true;
    m_buf.erase(0, m_nPos);
    m_nPos = 0;
    while (m_buf.size() < n && m_u64Left > 0) {
      size_t want = static_cast<size_t>(std::min<u64>(m_u64Left, std::max(kReadBuffer, n - m_buf.size())));
      size_t old = m_buf.size();
      m_buf.resize(old + want);
      ssize_t got = pread(m_nFd, &m_buf[old], want, static_cast<off_t>(m_u64Next));
      if (got < 0 && errno == EINTR) {
        m_buf.resize(old);
        continue;
      }
      if (got <= 0) {
        m_buf.resize(old);
        nStatus = got < 0 ? (errno ? errno : EIO) : EIO;
        return false;
      }
      m_buf.resize(old + static_cast<size_t>(got));
      m_u64Next += static_cast<u64>(got);
      m_u64Left -= static_cast<u64>(got);
    }
    return m_buf.size() >= n;
  }

  int m_nFd;
  u64 m_u64Next, m_u64Left;
  std::string m_buf;
  size_t m_nPos = 0;
};

}  // namespace

int OpenUnnamedTempFile(const std::string& dir) {
  const std::string where = dir.empty() ? std::string("/tmp") : dir;
#ifdef O_TMPFILE
  int fd = open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
#endif
  std::string name = where + "/.torvane-sort-XXXXXX";
  fd = mkostemp(&name[0], O_CLOEXEC);
  if (fd >= 0) unlink(name.c_str());
  return fd;
}

size_t CExternalSort::RunRecordsFromEnvironment() {
  const char* v = getenv("TORVANE_SORT_RUN_RECORDS");
  if (!v || !*v) return 0;
  long n = atol(v);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

CExternalSort::CExternalSort(const std::string& dir, size_t nRunBytes, size_t nRunRecords)
    : m_strDir(dir), m_nRunBytes(nRunBytes ? nRunBytes : 1), m_nRunRecords(nRunRecords) {}

CExternalSort::~CExternalSort() {
  if (m_nFd >= 0) close(m_nFd);
}

int CExternalSort::Add(const std::string& key, const std::string& payload) {
  m_buffer.push_back({key, payload, m_u64Count++});
  // The strings' own overhead counts too: many small records fill memory sooner.
  m_nBufferBytes += key.size() + payload.size() + sizeof(RECORD) + 32;
  if (m_nBufferBytes >= m_nRunBytes || (m_nRunRecords && m_buffer.size() >= m_nRunRecords)) return FlushRun();
  return 0;
}

int CExternalSort::FlushRun() {
  if (m_buffer.empty()) return 0;
  if (m_nFd < 0) {
    m_nFd = OpenUnnamedTempFile(m_strDir);
    if (m_nFd < 0) return errno ? errno : EIO;
  }
  std::sort(m_buffer.begin(), m_buffer.end(), [](const RECORD& a, const RECORD& b) {
    return a.key != b.key ? KeyLess(a.key, b.key) : a.u64Seq < b.u64Seq;
  });
  CRunWriter writer(m_nFd, m_u64FileBytes);
  int st = 0;
  for (const RECORD& r : m_buffer)
    if (st == 0) st = writer.Put(r.key, r.payload);
  if (st == 0) st = writer.Flush();
  m_runs.push_back({m_u64FileBytes, writer.Written()});
  m_u64FileBytes += writer.Written();
  m_buffer.clear();
  m_buffer.shrink_to_fit();
  m_nBufferBytes = 0;
  return st;
}

int CExternalSort::MergeRuns(int fdIn, size_t nFirst, size_t nLast, const VISIT* pVisit, int fdOut, RUN* pOut) {
  std::vector<std::unique_ptr<CRunReader>> readers;
  int st = 0;
  // The heap's top is the smallest key; equal keys come from the earlier run first.
  auto greater = [&readers](size_t a, size_t b) {
    const std::string& ka = readers[a]->key;
    const std::string& kb = readers[b]->key;
    return ka != kb ? KeyLess(kb, ka) : a > b;
  };
  std::priority_queue<size_t, std::vector<size_t>, decltype(greater)> heap(greater);
  for (size_t r = nFirst; r < nLast; ++r) {
    readers.emplace_back(new CRunReader(fdIn, m_runs[r].u64Offset, m_runs[r].u64Bytes));
    if (readers.back()->Next(st)) heap.push(readers.size() - 1);
    if (st != 0) return st;
  }
  std::unique_ptr<CRunWriter> writer;
  if (pOut) writer.reset(new CRunWriter(fdOut, pOut->u64Offset));
  while (!heap.empty()) {
    size_t top = heap.top();
    heap.pop();
    CRunReader& r = *readers[top];
    if (writer) {
      st = writer->Put(r.key, r.payload);
      if (st != 0) return st;
    } else if (!(*pVisit)(r.key, r.payload)) {
      return 0;
    }
    if (r.Next(st)) heap.push(top);
    if (st != 0) return st;
  }
  if (writer) {
    st = writer->Flush();
    pOut->u64Bytes = writer->Written();
  }
  return st;
}

int CExternalSort::Merge(const VISIT& visit) {
  // Everything fit one buffer: no file at all.
  if (m_runs.empty()) {
    std::stable_sort(m_buffer.begin(), m_buffer.end(),
                     [](const RECORD& a, const RECORD& b) { return KeyLess(a.key, b.key); });
    for (const RECORD& r : m_buffer)
      if (!visit(r.key, r.payload)) break;
    m_buffer.clear();
    return 0;
  }
  int st = FlushRun();
  if (st != 0) return st;
  // Groups of runs merged into longer runs in a second file, until few are left.
  while (m_runs.size() > kMaxFanIn) {
    int out = OpenUnnamedTempFile(m_strDir);
    if (out < 0) return errno ? errno : EIO;
    std::vector<RUN> merged;
    u64 bytes = 0;
    for (size_t first = 0; first < m_runs.size() && st == 0; first += kMaxFanIn) {
      RUN run = {bytes, 0};
      st = MergeRuns(m_nFd, first, std::min(m_runs.size(), first + kMaxFanIn), nullptr, out, &run);
      merged.push_back(run);
      bytes += run.u64Bytes;
    }
    close(m_nFd);
    m_nFd = out;
    m_runs.swap(merged);
    m_u64FileBytes = bytes;
    if (st != 0) return st;
  }
  return MergeRuns(m_nFd, 0, m_runs.size(), &visit, -1, nullptr);
}
