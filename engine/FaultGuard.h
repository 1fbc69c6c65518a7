// The fault guard: a last line of defence for loops that walk damaged disk
// data. A memory fault inside a guarded item jumps back to the loop, which
// abandons that item and goes on with the next. Parsers must not rely on it:
// they check every bound first, and the catch counter lets tests prove the
// guard never fired.
//
//   FaultGuardBegin(g_FaultFastFat);
//   for (...) {
//     if (FAULT_GUARD_TRY(g_FaultFastFat)) { work(); }
//     else { FaultGuardRearm(g_FaultFastFat); /* item abandoned */ }
//   }
//   FaultGuardEnd(g_FaultFastFat);
#pragma once

#include <setjmp.h>

#include <cstdint>

struct CFaultOwner {
  sigjmp_buf env;
  const char* pDiagnostic;
  CFaultOwner* pPrevious;  // the guard that was active when this one began (nesting)
};

extern CFaultOwner g_FaultMainWindow;   // "recvSignal"
extern CFaultOwner g_FaultFastFat;      // "CFastFatRecovery recvSignal"
extern CFaultOwner g_FaultFastNtfs;     // "CFastNtfsRecovery recvSignal"
extern CFaultOwner g_FaultProfessional; // "ProfessionalRecovery recvSignal"

// Installs the jumping handlers for SIGSEGV and SIGBUS on this thread's behalf.
void FaultGuardBegin(CFaultOwner& owner);
// Installs them again after a caught fault.
void FaultGuardRearm(CFaultOwner& owner);
// Leaves the loop: the previous guard (if nested) becomes active again, else a
// fault ends the process with a non-zero status and a diagnostic.
void FaultGuardEnd(CFaultOwner& owner);
// How many faults the guard has caught in this process.
uint64_t FaultGuardCatchCount();

// Takes the jump point for one item; true to process the item, false when a
// fault brought us back here. The handler runs with the fault signals
// unblocked, so the signal mask needs no saving.
#define FAULT_GUARD_TRY(owner) (sigsetjmp((owner).env, 0) == 0)
