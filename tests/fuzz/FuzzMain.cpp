// One libFuzzer program per entry point: the build names the target.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/robust/FuzzHarness.h"

#ifndef TORVANE_FUZZ_TARGET
#error "TORVANE_FUZZ_TARGET names the entry point"
#endif

namespace {
const fuzzharness::TARGET* g_pTarget = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_pTarget = fuzzharness::FindTarget(TORVANE_FUZZ_TARGET);
  if (!g_pTarget) {
    fprintf(stderr, "no fuzz target named %s\n", TORVANE_FUZZ_TARGET);
    abort();
  }
  fuzzharness::WorkDir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  if (nSize > g_pTarget->nMaxLen) return 0;
  return g_pTarget->pEntry(pData, nSize);
}
