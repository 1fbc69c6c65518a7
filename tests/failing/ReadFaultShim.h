// Reads that fail like bad sectors: this test program's own read(), pread()
// and pread64() fail with EIO where they touch chosen 512-byte sectors of one
// chosen file, and pass everything else to the C library. A read that starts
// before a failing sector returns what lies before it, as a disk does. Pages
// of a mapping of the file that hold such a sector cannot be filled in
// (madvise MADV_POPULATE_READ fails with EFAULT, as the kernel's does).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace readfault {

// Sectors [first, first + count) of the file at path fail from now on.
void FailSectors(const std::string& path, const std::vector<std::pair<uint64_t, uint64_t>>& ranges);
void Clear();
// Failed reads so far (to show a test really met its bad sectors).
uint64_t FailedReads();

}  // namespace readfault
