#include "ReadFaultShim.h"

#include <dlfcn.h>
#include <errno.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace {

std::mutex g_mutex;
bool g_active = false;
dev_t g_dev = 0;
ino_t g_ino = 0;
std::vector<std::pair<uint64_t, uint64_t>> g_ranges;  // first, end (sectors)
std::atomic<uint64_t> g_failed{0};
struct MAPPING {
  uintptr_t addr;
  size_t len;
  uint64_t offset;
};
std::vector<MAPPING> g_maps;  // of the failing file

typedef ssize_t (*READ_FN)(int, void*, size_t);
typedef ssize_t (*PREAD_FN)(int, void*, size_t, off_t);

bool IsFailing(int fd) {
  struct stat st;
  return g_active && fd >= 0 && fstat(fd, &st) == 0 && st.st_dev == g_dev && st.st_ino == g_ino;
}

// How many bytes from offset may be read before the first failing sector; -1 when none fails.
long long AllowedLocked(uint64_t offset, size_t len) {
  if (!g_active || len == 0) return -1;
  uint64_t first = offset / 512, last = (offset + len - 1) / 512;
  uint64_t hit = UINT64_MAX;
  for (const auto& r : g_ranges)
    if (r.first <= last && r.second > first) hit = std::min(hit, std::max(r.first, first));
  if (hit == UINT64_MAX) return -1;
  return static_cast<long long>(hit * 512 > offset ? hit * 512 - offset : 0);
}

long long Allowed(int fd, uint64_t offset, size_t len) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return IsFailing(fd) ? AllowedLocked(offset, len) : -1;
}

ssize_t Faulty(int fd, void* buf, size_t len, uint64_t offset, PREAD_FN real) {
  long long ok = Allowed(fd, offset, len);
  if (ok < 0) return real(fd, buf, len, static_cast<off_t>(offset));
  g_failed.fetch_add(1);
  if (ok == 0) {
    errno = EIO;
    return -1;
  }
  return real(fd, buf, static_cast<size_t>(ok), static_cast<off_t>(offset));
}

PREAD_FN RealPread() {
  static PREAD_FN fn = reinterpret_cast<PREAD_FN>(dlsym(RTLD_NEXT, "pread64"));
  return fn;
}

}  // namespace

namespace readfault {

void FailSectors(const std::string& path, const std::vector<std::pair<uint64_t, uint64_t>>& ranges) {
  struct stat st;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_active = stat(path.c_str(), &st) == 0;
  g_dev = st.st_dev;
  g_ino = st.st_ino;
  g_ranges.clear();
  for (const auto& r : ranges) g_ranges.push_back({r.first, r.first + r.second});
}

void Clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_active = false;
  g_ranges.clear();
  g_maps.clear();
}

uint64_t FailedReads() { return g_failed.load(); }

}  // namespace readfault

extern "C" {

ssize_t pread(int fd, void* buf, size_t len, off_t offset) {
  return Faulty(fd, buf, len, static_cast<uint64_t>(offset), RealPread());
}

ssize_t pread64(int fd, void* buf, size_t len, off_t offset) {
  return Faulty(fd, buf, len, static_cast<uint64_t>(offset), RealPread());
}

// A failing drive has no holes: asked where the failing file's holes are,
// the shim answers as a file system without the calls does, so every
// sector is still read (and fails where it should).
off_t lseek(int fd, off_t offset, int whence) {
  static off_t (*real)(int, off_t, int) = reinterpret_cast<off_t (*)(int, off_t, int)>(dlsym(RTLD_NEXT, "lseek"));
  if (whence == SEEK_DATA || whence == SEEK_HOLE) {
    std::lock_guard<std::mutex> lock(g_mutex);
    struct stat st;
    if (g_active && fstat(fd, &st) == 0 && st.st_dev == g_dev && st.st_ino == g_ino) {
      errno = EINVAL;
      return -1;
    }
  }
  return real(fd, offset, whence);
}

off_t lseek64(int fd, off_t offset, int whence) { return lseek(fd, offset, whence); }

void* mmap(void* addr, size_t len, int prot, int flags, int fd, off_t offset) {
  typedef void* (*MMAP_FN)(void*, size_t, int, int, int, off_t);
  static MMAP_FN real = reinterpret_cast<MMAP_FN>(dlsym(RTLD_NEXT, "mmap64"));
  void* p = real(addr, len, prot, flags, fd, offset);
  if (p != MAP_FAILED && fd >= 0) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (IsFailing(fd)) g_maps.push_back({reinterpret_cast<uintptr_t>(p), len, static_cast<uint64_t>(offset)});
  }
  return p;
}

void* mmap64(void* addr, size_t len, int prot, int flags, int fd, off_t offset) {
  return mmap(addr, len, prot, flags, fd, offset);
}

int munmap(void* addr, size_t len) {
  static int (*real)(void*, size_t) = reinterpret_cast<int (*)(void*, size_t)>(dlsym(RTLD_NEXT, "munmap"));
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (size_t i = 0; i < g_maps.size(); ++i)
      if (g_maps[i].addr == reinterpret_cast<uintptr_t>(addr)) g_maps.erase(g_maps.begin() + static_cast<long>(i--));
  }
  return real(addr, len);
}

int madvise(void* addr, size_t len, int advice) {
  static int (*real)(void*, size_t, int) = reinterpret_cast<int (*)(void*, size_t, int)>(dlsym(RTLD_NEXT, "madvise"));
  if (advice == MADV_POPULATE_READ) {
    std::lock_guard<std::mutex> lock(g_mutex);
    const uintptr_t a = reinterpret_cast<uintptr_t>(addr);
    for (const MAPPING& m : g_maps) {
      if (a < m.addr || a - m.addr >= m.len) continue;
      if (AllowedLocked(m.offset + (a - m.addr), len) >= 0) {
        g_failed.fetch_add(1);
        errno = EFAULT;
        return -1;
      }
    }
  }
  return real(addr, len, advice);
}

ssize_t read(int fd, void* buf, size_t len) {
  static READ_FN real = reinterpret_cast<READ_FN>(dlsym(RTLD_NEXT, "read"));
  off_t at = lseek(fd, 0, SEEK_CUR);
  if (at < 0 || Allowed(fd, static_cast<uint64_t>(at), len) < 0) return real(fd, buf, len);
  ssize_t got = Faulty(fd, buf, len, static_cast<uint64_t>(at), RealPread());
  if (got > 0) lseek(fd, at + got, SEEK_SET);
  return got;
}

}  // extern "C"
