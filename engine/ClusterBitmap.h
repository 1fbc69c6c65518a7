// Free space from a volume's cluster allocation bitmap (bit set: in use),
// as the quick passes hand it to the deep pass.
#pragma once

#include "engine/Types.h"

// From u64StartSector (relative to the volume) on: sets u64StartSector and
// u64SectorCount to the next run of free clusters, the start kept where it
// lies inside a free cluster. Sectors before u64HeapStart are never free.
// With no free cluster left, u64StartSector is moved to where the bitmap
// ends and u64SectorCount is 0. Nothing reaches past u64VolumeSectors.
void NextFreeClusterRun(const u8* pMap, u64 u64Bits, u64 u64HeapStart, u64 u64SectorsPerCluster,
                        u64 u64VolumeSectors, u64& u64StartSector, u64& u64SectorCount);
