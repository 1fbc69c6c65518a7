#include "engine/ReadAhead.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif

namespace {
constexpr u32 kBlockBytes = 1u << 20;
// Mapping costs a call and a flush of the other thread's translations per
// block: larger blocks there.
constexpr u32 kMapBlockBytes = 8u << 20;

// Whether fd is an image file the kernel can map and fill in with errors
// returned (Linux 5.14 on). TORVANE_MAP=0 reads it into buffers instead.
bool Mappable(int fd) {
  const char* v = getenv("TORVANE_MAP");
  if (v && *v == '0') return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return false;
  void* p = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return false;
  const bool ok = madvise(p, 4096, MADV_POPULATE_READ) == 0;
  munmap(p, 4096);
  return ok;
}
}  // namespace

CReadAhead::CReadAhead(int fd, int nSectorSize, u64 u64Limit, bool bThread)
    : m_nFd(fd),
      m_nSectorSize(nSectorSize > 0 ? static_cast<u32>(nSectorSize) : SECTOR_SIZE),
      m_u64Limit(u64Limit),
      m_bMapped(Mappable(fd)),
      m_nBlockSectors(std::max<u32>(1, (m_bMapped ? kMapBlockBytes : kBlockBytes) / m_nSectorSize)) {
  // The kernel's own read-ahead grows for a file read front to back.
  (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  m_holes.Attach(fd);
  if (!bThread) return;  // Take maps an image's blocks itself; anything else is not given
  if (m_bMapped) {
    m_thread = std::thread(&CReadAhead::Run, this);
    return;
  }
  for (BLOCK& b : m_blocks) {
    void* p = nullptr;
    // Page-aligned, so a block read is whole pages of the page cache.
    if (posix_memalign(&p, 4096, static_cast<size_t>(m_nBlockSectors) * m_nSectorSize) == 0)
      b.pData = static_cast<unsigned char*>(p);
  }
  for (const BLOCK& b : m_blocks)
    if (!b.pData) return;  // no memory: Take never gives anything
  m_thread = std::thread(&CReadAhead::Run, this);
}

CReadAhead::~CReadAhead() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bQuit = true;
  }
  m_cv.notify_all();
  if (m_thread.joinable()) m_thread.join();
  for (BLOCK& b : m_blocks) {
    if (m_bMapped) Unmap(b);
    else free(b.pData);
  }
}

void CReadAhead::Unmap(BLOCK& b) {
  if (b.pMap) munmap(b.pMap, b.nMapBytes);
  b.pMap = nullptr;
  b.nMapBytes = 0;
  b.pData = nullptr;
}

// Maps [u64Offset, u64Offset + nBytes) of the file and fills in its pages;
// false when any of them cannot be read (past the file's end, an I/O error).
bool CReadAhead::MapBlock(BLOCK& b, u64 u64Offset, size_t nBytes) {
  Unmap(b);
  const u64 page = 4096, from = u64Offset / page * page;
  const size_t len = static_cast<size_t>(u64Offset - from) + nBytes;
  void* p = mmap(nullptr, len, PROT_READ, MAP_SHARED, m_nFd, static_cast<off_t>(from));
  if (p == MAP_FAILED) return false;
  b.pMap = p;
  b.nMapBytes = len;
  b.pData = static_cast<unsigned char*>(p) + (u64Offset - from);
  int rc;
  do rc = madvise(p, len, MADV_POPULATE_READ);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) Unmap(b);
  return rc == 0;
}

bool CReadAhead::Wanted() {
  const char* v = getenv("TORVANE_THREADS");
  if (v && *v) return atoi(v) >= 2;
  return std::thread::hardware_concurrency() >= 2;
}

void CReadAhead::Restart(u64 u64At, std::unique_lock<std::mutex>& lock) {
  // A block being read still belongs to the reading thread.
  m_cv.wait(lock, [this] {
    for (u32 i = 0; i < m_nQueued; ++i)
      if (Queued(i).eState == READING) return false;
    return true;
  });
  for (u32 i = 0; i < m_nQueued; ++i) Queued(i).eState = FREE;
  m_nQueued = 0;
  m_u64Next = u64At;
  ++m_u64Generation;
  m_cv.notify_all();
}

void CReadAhead::Begin(u64 u64First, u64 u64End) {
  if (!m_thread.joinable()) {
    m_u64End = u64End < m_u64Limit ? u64End : m_u64Limit;
    return;
  }
  std::unique_lock<std::mutex> lock(m_mutex);
  Restart(u64First, lock);
  m_u64End = u64End < m_u64Limit ? u64End : m_u64Limit;
  m_cv.notify_all();
}

void CReadAhead::Run() {
  const u64 ss = m_nSectorSize;
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_cv.wait(lock, [this] { return m_bQuit || (m_nQueued < kBlocks && m_u64Next < m_u64End); });
    if (m_bQuit) return;
    const u64 generation = m_u64Generation, at = m_u64Next, end = m_u64End;
    // To the next block boundary: after the first, every read is aligned.
    u64 stop = (at / m_nBlockSectors + 1) * m_nBlockSectors;
    if (stop > end) stop = end;
    lock.unlock();
    // A hole is not read: the pass steps over it, or reads the chunks that
    // reach into it itself. Nor is a block read on into the hole after its
    // data: the kernel would then count the pages of an unwritten extent as
    // data, and the pass would step over the extent or not as the read-ahead
    // happened to get there first.
    const u64 holeSectors = m_holes.HoleBytes(at * ss, (end - at) * ss) / ss;
    if (holeSectors == 0) stop = at + std::max<u64>(1, DataSectors(at, stop - at));
    lock.lock();
    if (generation != m_u64Generation || m_bQuit) continue;
    if (holeSectors > 0) {
      m_u64Next = at + holeSectors;
      m_cv.notify_all();  // a pass waiting for this block takes it as not held
      continue;
    }
    BLOCK& b = Queued(m_nQueued);
    b.u64First = at;
    b.nCount = static_cast<u32>(stop - at);
    b.eState = READING;
    b.bWhole = false;
    ++m_nQueued;
    m_u64Next = stop;
    lock.unlock();
    const size_t want = static_cast<size_t>(b.nCount) * ss;
    size_t filled = 0;
    if (m_bMapped) filled = MapBlock(b, at * ss, want) ? want : 0;
    while (!m_bMapped && filled < want) {
      ssize_t got = pread(m_nFd, b.pData + filled, want - filled, static_cast<off_t>(at * ss + filled));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      filled += static_cast<size_t>(got);
    }
    lock.lock();
    b.bWhole = filled == want;
    b.eState = READY;
    m_cv.notify_all();
  }
}

u64 CReadAhead::DataSectors(u64 u64First, u64 u64Count) {
  const u64 ss = m_nSectorSize;
  return (m_holes.DataBytes(u64First * ss, u64Count * ss) + ss - 1) / ss;
}

u32 CReadAhead::HeldAfter(u64 u64From, HELD* pOut, u32 nMax) {
  if (!m_thread.joinable()) return 0;
  std::lock_guard<std::mutex> lock(m_mutex);
  u32 n = 0;
  u64 next = u64From;
  for (u32 i = 0; i < m_nQueued && n < nMax; ++i) {
    const BLOCK& b = Queued(i);
    if (b.u64First + b.nCount <= u64From) continue;
    if (b.u64First != next || b.eState != READY || !b.bWhole) break;
    pOut[n++] = HELD{b.pData, b.u64First, b.nCount};
    next = b.u64First + b.nCount;
  }
  return n;
}

// Without the thread: the block holding the chunk, mapped from the chunk's
// first sector when the one mapped does not hold it whole.
const unsigned char* CReadAhead::TakeMapped(u64 u64First, u32 nCount, u64* pHeldTo) {
  BLOCK& b = m_blocks[0];
  const u64 stop = u64First + nCount;
  if (stop > m_u64End) return nullptr;
  if (!b.pMap || u64First < b.u64First || stop > b.u64First + b.nCount) {
    // A block that could not be filled in is not tried again chunk by chunk.
    if (u64First >= m_u64FailedFrom && u64First < m_u64FailedTo) return nullptr;
    // Up to the next hole (see Run): a chunk that reaches into one is read by the pass.
    const u64 end = u64First + DataSectors(u64First, std::min<u64>(m_nBlockSectors, m_u64End - u64First));
    if (end < stop) return nullptr;
    b.u64First = u64First;
    b.nCount = static_cast<u32>(end - u64First);
    if (!MapBlock(b, u64First * m_nSectorSize, static_cast<size_t>(b.nCount) * m_nSectorSize)) {
      m_u64FailedFrom = u64First;
      m_u64FailedTo = end;
      return nullptr;
    }
  }
  if (pHeldTo) *pHeldTo = b.u64First + b.nCount;
  return b.pData + (u64First - b.u64First) * m_nSectorSize;
}

const unsigned char* CReadAhead::Take(u64 u64First, u32 nCount, unsigned char* pSpare, u64* pHeldTo) {
  if (nCount == 0) return nullptr;
  if (!m_thread.joinable()) return m_bMapped ? TakeMapped(u64First, nCount, pHeldTo) : nullptr;
  const u64 ss = m_nSectorSize, stop = u64First + nCount;
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    // Release the blocks the pass has gone past.
    bool waited = false;
    while (m_nQueued > 0 && Queued(0).u64First + Queued(0).nCount <= u64First) {
      if (Queued(0).eState == READING) {
        m_cv.wait(lock);
        waited = true;
        break;
      }
      Queued(0).eState = FREE;
      m_nHead = (m_nHead + 1) % kBlocks;
      --m_nQueued;
      m_cv.notify_all();
    }
    if (waited) continue;
    if (stop > m_u64End) return nullptr;
    if (m_nQueued == 0) {
      if (m_u64Next > u64First) return nullptr;  // stepped over as a hole
      if (m_u64Next < u64First) Restart(u64First, lock);  // the pass jumped ahead
      m_cv.wait(lock);
      continue;
    }
    if (Queued(0).u64First > u64First) return nullptr;
    u64 covered = u64First;
    u32 used = 0;
    bool wait = false;
    while (covered < stop) {
      if (used == m_nQueued) {
        if (m_u64Next != covered || m_nQueued == kBlocks) return nullptr;
        wait = true;  // the next block is about to be claimed
        break;
      }
      const BLOCK& b = Queued(used);
      if (used > 0 && b.u64First != covered) return nullptr;  // a hole stepped over between
      if (b.eState != READY) {
        wait = true;
        break;
      }
      if (!b.bWhole) return nullptr;
      covered = b.u64First + b.nCount;
      ++used;
    }
    if (wait) {
      m_cv.wait(lock);
      continue;
    }
    const BLOCK& head = Queued(0);
    if (used == 1) {
      if (pHeldTo) *pHeldTo = head.u64First + head.nCount;
      return head.pData + (u64First - head.u64First) * ss;
    }
    // Across a block boundary: the pieces go into the caller's buffer. Not
    // from a mapping: a page of it may fault (the file cut short meanwhile),
    // and only the pass's parsing runs under the fault guard.
    if (m_bMapped) return nullptr;
    u64 at = u64First;
    for (u32 i = 0; i < used; ++i) {
      const BLOCK& b = Queued(i);
      u64 to = b.u64First + b.nCount < stop ? b.u64First + b.nCount : stop;
      memcpy(pSpare + (at - u64First) * ss, b.pData + (at - b.u64First) * ss, static_cast<size_t>((to - at) * ss));
      at = to;
    }
    if (pHeldTo) *pHeldTo = stop;
    return pSpare;
  }
}
