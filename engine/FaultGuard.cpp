#include "engine/FaultGuard.h"

#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

CFaultOwner g_FaultMainWindow = {{}, "recvSignal\n", nullptr};
CFaultOwner g_FaultFastFat = {{}, "CFastFatRecovery recvSignal\n", nullptr};
CFaultOwner g_FaultFastNtfs = {{}, "CFastNtfsRecovery recvSignal\n", nullptr};
CFaultOwner g_FaultProfessional = {{}, "ProfessionalRecovery recvSignal\n", nullptr};

namespace {

std::atomic<uint64_t> g_catchCount{0};
thread_local CFaultOwner* t_active = nullptr;
// A stack of its own for the handler, so a fault caused by running out of
// stack can still be handled.
thread_local char* t_altStack = nullptr;

void WriteDiag(const char* text) {
  ssize_t r = write(2, text, strlen(text));
  (void)r;
}

void recvSignal(int) {
  CFaultOwner* owner = t_active;
  if (!owner) {
    WriteDiag("fault outside a guarded loop\n");
    _exit(139);
  }
  g_catchCount.fetch_add(1, std::memory_order_relaxed);
  WriteDiag(owner->pDiagnostic);
  siglongjmp(owner->env, 1);
}

void recvSignal1(int sig) {
  WriteDiag(sig == SIGBUS ? "bus error outside a guarded loop, exiting\n"
                          : "segmentation fault outside a guarded loop, exiting\n");
  _exit(128 + sig);
}

void Install(void (*handler)(int)) {
  // A thread that already has an alternate stack (the sanitizer gives every
  // thread one, and unmaps it itself when the thread ends) keeps it.
  stack_t current;
  bool hasAltStack = sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE);
  if (!t_altStack && !hasAltStack) {
    t_altStack = static_cast<char*>(malloc(SIGSTKSZ * 4));
    if (t_altStack) {
      stack_t ss;
      memset(&ss, 0, sizeof(ss));
      ss.ss_sp = t_altStack;
      ss.ss_size = SIGSTKSZ * 4;
      sigaltstack(&ss, nullptr);
    }
  }
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  // Not blocked while handled: the jump back leaves the thread's signal mask
  // as it was, so taking a jump point need not save it (a system call per item).
  sa.sa_flags = SA_ONSTACK | SA_NODEFER;
  sigaction(SIGSEGV, &sa, nullptr);
  sigaction(SIGBUS, &sa, nullptr);
}

}  // namespace

void FaultGuardBegin(CFaultOwner& owner) {
  if (t_active != &owner) {
    owner.pPrevious = t_active;
    t_active = &owner;
  }
  Install(recvSignal);
}

void FaultGuardRearm(CFaultOwner& owner) {
  t_active = &owner;
  Install(recvSignal);
}

void FaultGuardEnd(CFaultOwner& owner) {
  if (t_active == &owner) t_active = owner.pPrevious;
  owner.pPrevious = nullptr;
  Install(t_active ? recvSignal : recvSignal1);
}

uint64_t FaultGuardCatchCount() { return g_catchCount.load(std::memory_order_relaxed); }
