#include "carve/PendingChecks.h"

#include <cstring>

namespace {
// Enough to keep the thread busy between two finds; a fuller queue means the
// pass is finding faster than one thread checks, and the pass checks one itself.
constexpr size_t kMaxQueued = 64;
}  // namespace

CPendingChecks::CPendingChecks(const CDiskReader& reader, RESOLVE resolve, KEEP keep)
    : m_resolve(std::move(resolve)), m_keep(std::move(keep)) {
  if (m_reader.InitShared(reader) != 0) return;
  try {
    m_thread = std::thread(&CPendingChecks::Run, this);
  } catch (...) {
    // No thread: everything is checked where it was before.
  }
}

CPendingChecks::~CPendingChecks() { Finish(false); }

bool CPendingChecks::Offer(const _FILE_NODE_& node) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_thread.joinable() || m_bQuit || m_bStopped || m_queue.size() >= kMaxQueued) return false;
  m_queue.push_back(node);
  m_cv.notify_one();
  return true;
}

void CPendingChecks::Finish(bool bDrain) {
  if (bDrain && m_thread.joinable() && m_finishReader.InitShared(m_reader) == 0) {
    // Two make the last checks: the pass is over and its thread is free.
    FaultGuardBegin(m_finishFault);
    std::unique_lock<std::mutex> lock(m_mutex);
    Work(m_finishReader, m_finishFault, lock, false);
    lock.unlock();
    FaultGuardEnd(m_finishFault);
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bQuit = true;
    m_bDrain = bDrain;
  }
  m_cv.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

void CPendingChecks::Run() {
  FaultGuardBegin(m_fault);
  std::unique_lock<std::mutex> lock(m_mutex);
  Work(m_reader, m_fault, lock, true);
  m_queue.clear();
  lock.unlock();
  FaultGuardEnd(m_fault);
}

void CPendingChecks::Work(CDiskReader& reader, CFaultOwner& fault, std::unique_lock<std::mutex>& lock, bool bWait) {
  for (;;) {
    if (bWait) m_cv.wait(lock, [this] { return m_bQuit || !m_queue.empty(); });
    if (m_queue.empty() || m_bStopped || (m_bQuit && !m_bDrain)) return;
    _FILE_NODE_ node = m_queue.front();
    m_queue.pop_front();
    lock.unlock();
    volatile bool made = false;  // kept across a caught fault
    if (FAULT_GUARD_TRY(fault)) {
      m_resolve(reader, node);
      made = !(node.nResultFlags & RESULT_FLAG_CHECK_PENDING);
    } else {
      FaultGuardRearm(fault);  // the listing tries it again under its own guard
    }
    if (made) m_keep(node, node.nIntegrity, node.nResultFlags);
    lock.lock();
    if (made && (node.nResultFlags & RESULT_FLAG_UNREADABLE)) m_bStopped = true;
  }
}
