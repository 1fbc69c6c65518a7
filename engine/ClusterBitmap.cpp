#include "engine/ClusterBitmap.h"

namespace {

// The first bit at or after b (below bits) whose value is not `set`;
// whole bytes of `set` bits are stepped over at once.
u64 SkipWhile(const u8* map, u64 b, u64 bits, bool set) {
  const u8 full = set ? 0xFF : 0x00;
  while (b < bits) {
    if (b % 8 == 0 && b + 8 <= bits && map[b / 8] == full) {
      b += 8;
      continue;
    }
    if ((((map[b / 8] >> (b % 8)) & 1) != 0) != set) break;
    ++b;
  }
  return b;
}

}  // namespace

void NextFreeClusterRun(const u8* pMap, u64 u64Bits, u64 u64HeapStart, u64 u64SectorsPerCluster,
                        u64 u64VolumeSectors, u64& u64StartSector, u64& u64SectorCount) {
  u64SectorCount = 0;
  u64 rel = u64StartSector > u64HeapStart ? u64StartSector - u64HeapStart : 0;
  u64 i = rel / u64SectorsPerCluster;
  u64 j = SkipWhile(pMap, i, u64Bits, true);
  if (j >= u64Bits) {
    u64StartSector = u64HeapStart + rel;
    if (u64StartSector > u64VolumeSectors) u64StartSector = u64VolumeSectors;
    return;
  }
  // A start inside a free cluster stays where it is; past allocated clusters
  // the run begins on a cluster boundary.
  u64 startRel = j == i ? rel : j * u64SectorsPerCluster;
  u64 k = SkipWhile(pMap, j, u64Bits, false);
  u64 count = k * u64SectorsPerCluster - startRel;
  u64 abs = u64HeapStart + startRel;
  if (abs >= u64VolumeSectors)
    count = 0;
  else if (abs + count > u64VolumeSectors)
    count = u64VolumeSectors - abs;
  u64StartSector = abs;
  u64SectorCount = count;
}
