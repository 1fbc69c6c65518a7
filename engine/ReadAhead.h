// Read-ahead for a sequential pass: a second thread reads the sectors after
// the ones being worked on, in large aligned blocks, so reading and parsing
// overlap. The pass still asks for every chunk itself and keeps its own
// order; a chunk the read-ahead does not hold whole (a failed or short read,
// a jump, a hole it stepped over) is simply not given, and the caller reads
// it as it would without the read-ahead.
//
// An image file is mapped rather than copied: the reading thread maps each
// block and has the kernel fill in its pages (an error there is a block not
// held, never a fault), so the pass reads the page cache itself. A block
// device is read into buffers: a mapping of a failing disk would fault.
// With one thread an image is still mapped, a block at a time as the pass
// asks for it; a block device is then read by the pass itself.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "engine/DiskReader.h"

class CReadAhead {
 public:
  // Reads through fd (pread only; the descriptor is not owned) in sectors of
  // nSectorSize, never at or past sector u64Limit; on a thread of its own
  // unless bThread is false.
  CReadAhead(int fd, int nSectorSize, u64 u64Limit, bool bThread = true);
  ~CReadAhead();
  CReadAhead(const CReadAhead&) = delete;
  CReadAhead& operator=(const CReadAhead&) = delete;

  // The pass goes on at sector u64First (absolute) and reads up to u64End.
  void Begin(u64 u64First, u64 u64End);
  // Sectors [u64First, u64First + nCount) as read, or null when the
  // read-ahead does not hold them whole. The pointer is into the read-ahead's
  // block when the chunk lies in one, else into pSpare (nCount sectors), and
  // stays valid until the next call. Blocks before u64First are released.
  // *pHeldTo (if given): the sector where what the pointer holds ends, at or
  // past the chunk's end (the rest of the read-ahead's block).
  const unsigned char* Take(u64 u64First, u32 nCount, unsigned char* pSpare, u64* pHeldTo = nullptr);

  // The blocks read whole after the one the last Take gave from, as many
  // as follow it without a gap (at most nMax): each block's data, first
  // sector and count. They stay as they are until the next call to Take.
  struct HELD {
    const unsigned char* pData;
    u64 u64First;
    u32 nCount;
  };
  u32 HeldAfter(u64 u64From, HELD* pOut, u32 nMax);

  // Two threads for the deep pass unless TORVANE_THREADS=1 (or one core).
  static bool Wanted();

 private:
  enum { kBlocks = 4 };
  enum STATE { FREE = 0, READING = 1, READY = 2 };
  struct BLOCK {
    unsigned char* pData = nullptr;
    void* pMap = nullptr;  // mapped: the block's mapping (from a page boundary at or before pData)
    size_t nMapBytes = 0;
    u64 u64First = 0;
    u32 nCount = 0;
    STATE eState = FREE;
    bool bWhole = false;  // every byte arrived
  };

  void Run();
  const unsigned char* TakeMapped(u64 u64First, u32 nCount, u64* pHeldTo);
  bool MapBlock(BLOCK& b, u64 u64Offset, size_t nBytes);
  // Sectors from u64First (at most u64Count) before the image's next hole.
  u64 DataSectors(u64 u64First, u64 u64Count);
  static void Unmap(BLOCK& b);
  void Restart(u64 u64At, std::unique_lock<std::mutex>& lock);
  BLOCK& Queued(u32 i) { return m_blocks[(m_nHead + i) % kBlocks]; }

  const int m_nFd;
  const u32 m_nSectorSize;
  const u64 m_u64Limit;
  const bool m_bMapped;
  const u32 m_nBlockSectors;
  CHoleMap m_holes;  // the reading thread's own

  std::mutex m_mutex;
  std::condition_variable m_cv;
  BLOCK m_blocks[kBlocks];
  u32 m_nHead = 0, m_nQueued = 0;
  u64 m_u64Next = 0, m_u64End = 0;  // where the reading thread goes on, and stops
  u64 m_u64Generation = 0;          // bumped when the queue is thrown away
  u64 m_u64FailedFrom = 0, m_u64FailedTo = 0;  // without the thread: the last block that could not be mapped
  bool m_bQuit = false;
  std::thread m_thread;
};
