// The entry points the fuzzers drive, shared with the regression replay of
// the normal tests: each takes arbitrary bytes, hands them to the real
// parsers (through a memory disk where the parser reads a disk) and checks
// what comes back. A broken promise is reported through the failure hook:
// the fuzzers abort (so the input is kept), the replay test records a failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzharness {

typedef int (*ENTRY)(const uint8_t* pData, size_t nSize);

struct TARGET {
  const char* pName;
  ENTRY pEntry;
  size_t nMaxLen;  // the longest input worth trying
};

// Every target, in a fixed order; the sentinel has a null name.
extern const TARGET g_Targets[];
const TARGET* FindTarget(const char* pName);

// A private support folder (scan log, previews, saved files) under the
// memory file system, made once per process; the environment is pointed at it.
const std::string& WorkDir();

// Called with a description when an entry point breaks a promise. The
// default prints it and aborts.
typedef void (*FAILURE_HOOK)(const char* pTarget, const std::string& what);
void SetFailureHook(FAILURE_HOOK pHook);

// Files the last entry point's engine listed through search (0 for the
// targets without an engine): lets tests see that an input reached the engine.
size_t LastFoundCount();

// The sparse-image input of the volume targets: a list of
// [u32 LE sector][512 bytes] records laid over a zeroed disk.
constexpr size_t SPARSE_RECORD = 4 + 512;

}  // namespace fuzzharness
