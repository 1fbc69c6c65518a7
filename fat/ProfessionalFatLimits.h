// Bounds on what the deep FAT engine keeps while a scan runs: damaged or
// hostile disks must not make it grow without end.
#pragma once

#include <cstddef>

constexpr size_t kMaxVirtualDbr = 256;             // distinct geometries
constexpr size_t kMaxFatSectorOffsets = 1024;      // unexplained folder starts kept for pairing
constexpr size_t kMaxPendingRuns = 4096;           // cut long names waiting for their next sector
constexpr size_t kMaxUndealSectors = 262144;       // kept sectors (128 MiB)
constexpr size_t kMaxWaitingFiles = 1000000;       // files waiting for a geometry
constexpr size_t kMaxDirRecords = 1000000;         // folder entries
constexpr int kMaxParentSteps = 256;               // folder depth walked through ".." entries
constexpr int kMaxSubFolderProbes = 8;             // sub-folders read to settle a buffer's folder
