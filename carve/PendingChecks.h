// Content checks put off during the deep pass (a picture too large to decode
// at once) run on a thread of their own while the pass goes on, so the
// listing finds their verdicts made instead of making them one by one after
// the pass. The pass decides nothing from them: its results and resume
// points are the same with or without this thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "engine/DiskReader.h"
#include "engine/FaultGuard.h"
#include "engine/Types.h"

class CPendingChecks {
 public:
  // Makes the verdict of a result with RESULT_FLAG_CHECK_PENDING, reading
  // through the reader given (nIntegrity and nResultFlags set, the flag cleared).
  using RESOLVE = std::function<void(CDiskReader&, _FILE_NODE_&)>;
  // Takes a verdict made (called on the checking thread).
  using KEEP = std::function<void(const _FILE_NODE_&, u8 nIntegrity, u8 nResultFlags)>;

  // Reads through a duplicate of `reader`'s descriptor. Without one (or
  // without memory for a thread) Offer takes nothing.
  CPendingChecks(const CDiskReader& reader, RESOLVE resolve, KEEP keep);
  ~CPendingChecks();
  CPendingChecks(const CPendingChecks&) = delete;
  CPendingChecks& operator=(const CPendingChecks&) = delete;

  // Queues a result; false when the queue is full or the thread has stopped
  // (then whoever offered it checks it, now or when it is listed).
  bool Offer(const _FILE_NODE_& node);
  // Ends the thread: after the queued checks are made (bDrain; the calling
  // thread makes them too) or at once, leaving them to the listing.
  void Finish(bool bDrain);

 private:
  void Run();
  // Takes queued checks and makes them until none is left (or, on the
  // checking thread, until told to quit); the lock is held on entry and exit.
  void Work(CDiskReader& reader, CFaultOwner& fault, std::unique_lock<std::mutex>& lock, bool bWait);

  CDiskReader m_reader;
  CDiskReader m_finishReader;  // the finishing thread's
  RESOLVE m_resolve;
  KEEP m_keep;
  CFaultOwner m_fault{};
  CFaultOwner m_finishFault{};
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<_FILE_NODE_> m_queue;
  bool m_bQuit = false;
  bool m_bDrain = false;
  bool m_bStopped = false;  // met an unreadable sector: a failing disk is left to the pass
  std::thread m_thread;
};
