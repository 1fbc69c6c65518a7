#include "engine/DiskMap.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

#include "engine/DiskReader.h"

namespace {

std::mutex g_mapMutex;
std::vector<std::string> g_addedImages;

std::vector<std::string> SplitColons(const char* text) {
  std::vector<std::string> out;
  std::string cur;
  for (const char* p = text; *p; ++p) {
    if (*p == ':') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(*p);
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

bool IsWholeDiskName(const std::string& n) {
  auto starts = [&](const char* p) { return n.compare(0, strlen(p), p) == 0; };
  if (starts("ram") || starts("zram") || starts("dm-") || starts("md") || starts("sr")) return false;
  if (starts("sd") || starts("vd") || starts("xvd") || starts("hd")) return true;
  if (starts("nvme")) return n.find('n', 4) != std::string::npos && n.find('p') == std::string::npos;
  if (starts("mmcblk")) return n.find('p') == std::string::npos && n.find("boot") == std::string::npos &&
                                n.find("rpmb") == std::string::npos;
  if (starts("loop")) {
    // Only attached loop devices: those with a non-zero size.
    std::ifstream f("/sys/block/" + n + "/size");
    unsigned long long sectors = 0;
    f >> sectors;
    return sectors > 0;
  }
  return false;
}

// The machine's disks, before any added image.
std::vector<std::string> BaseDisks() {
  if (const char* env = getenv("TORVANE_DISKS")) return SplitColons(env);
  std::vector<std::string> out;
  struct stat st;
  if (stat("/dev/disk0", &st) == 0) {
    for (int i = 0; i < 128; ++i) {
      char name[32];
      snprintf(name, sizeof(name), "/dev/disk%d", i);
      if (stat(name, &st) != 0) break;
      out.push_back(name);
    }
    return out;
  }
  DIR* d = opendir("/sys/block");
  if (!d) return out;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    if (IsWholeDiskName(n)) names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (auto& n : names) out.push_back("/dev/" + n);
  return out;
}

// The disks as last listed. One operation turns a disk's number into its
// path a dozen times, and each listing reads every loop device's size: a
// listing under a second old serves those look-ups (the list the number was
// chosen from is no newer). Listing the disks always looks afresh.
struct DISK_SNAPSHOT {
  bool bSet = false;
  u32 nTick = 0;  // when, in the monotonic milliseconds
  std::vector<std::string> disks;
};
DISK_SNAPSHOT g_snapshot;  // under g_mapMutex

// A fresh listing, kept for the look-ups; a list given by the environment
// is read as it stands each time.
std::vector<std::string> FreshBaseDisks() {
  std::vector<std::string> disks = BaseDisks();
  if (getenv("TORVANE_DISKS")) return disks;
  std::lock_guard<std::mutex> lock(g_mapMutex);
  g_snapshot.bSet = true;
  g_snapshot.nTick = rsb_getMonotonicTickCount();
  g_snapshot.disks = disks;
  return disks;
}

std::vector<std::string> RecentBaseDisks() {
  if (!getenv("TORVANE_DISKS")) {
    std::lock_guard<std::mutex> lock(g_mapMutex);
    if (g_snapshot.bSet && rsb_getMonotonicTickCount() - g_snapshot.nTick < 1000) return g_snapshot.disks;
  }
  return FreshBaseDisks();
}

std::vector<std::string> WithAddedImages(std::vector<std::string> all) {
  std::lock_guard<std::mutex> lock(g_mapMutex);
  all.insert(all.end(), g_addedImages.begin(), g_addedImages.end());
  return all;
}

}  // namespace

std::vector<std::string> ListDiskDevices() { return WithAddedImages(FreshBaseDisks()); }

std::string GetDiskDevicePath(int nDiskNo) {
  if (nDiskNo < 0) return std::string();
  std::vector<std::string> all = WithAddedImages(RecentBaseDisks());
  if (static_cast<size_t>(nDiskNo) >= all.size()) return std::string();
  return all[nDiskNo];
}

int AddDiskImage(const std::string& path) {
  if (path.empty()) return -1;
  char resolved[PATH_MAX];
  std::string full = realpath(path.c_str(), resolved) ? std::string(resolved) : path;
  const std::vector<std::string> base = FreshBaseDisks();
  std::vector<std::string> all = WithAddedImages(base);
  for (size_t i = 0; i < all.size(); ++i) {
    char r2[PATH_MAX];
    std::string other = realpath(all[i].c_str(), r2) ? std::string(r2) : all[i];
    if (other == full) return static_cast<int>(i);
  }
  std::lock_guard<std::mutex> lock(g_mapMutex);
  g_addedImages.push_back(full);
  return static_cast<int>(base.size() + g_addedImages.size() - 1);
}

namespace {

std::mutex g_sharedMutex;
std::map<std::string, std::pair<int, int>> g_shared;  // resolved path -> (descriptor, holders)

std::string SharedKey(const char* pPath) {
  char buf[PATH_MAX];
  return realpath(pPath, buf) ? std::string(buf) : std::string();
}

int OpenFresh(const char* pPath);

}  // namespace

CSharedDiskOpen::CSharedDiskOpen(const std::string& path) {
  std::string key = SharedKey(path.c_str());
  if (key.empty()) return;
  std::lock_guard<std::mutex> lock(g_sharedMutex);
  auto it = g_shared.find(key);
  if (it != g_shared.end()) {
    ++it->second.second;
  } else {
    int fd = OpenFresh(key.c_str());
    if (fd < 0) return;
    g_shared[key] = {fd, 1};
  }
  m_strKey = key;
}

CSharedDiskOpen::~CSharedDiskOpen() {
  if (m_strKey.empty()) return;
  std::lock_guard<std::mutex> lock(g_sharedMutex);
  auto it = g_shared.find(m_strKey);
  if (it == g_shared.end() || --it->second.second > 0) return;
  close(it->second.first);
  g_shared.erase(it);
}

int OpenPathReadOnly(const char* pPath) {
  if (!pPath || !*pPath) {
    errno = ENOENT;
    return -1;
  }
  {
    std::lock_guard<std::mutex> lock(g_sharedMutex);
    if (!g_shared.empty()) {
      auto it = g_shared.find(SharedKey(pPath));
      if (it != g_shared.end()) return fcntl(it->second.first, F_DUPFD_CLOEXEC, 0);
    }
  }
  return OpenFresh(pPath);
}

namespace {

int OpenFresh(const char* pPath) {
  // Without blocking: a FIFO named as a disk would wait forever for a writer.
  int fd = open(pPath, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
    close(fd);
    errno = ENOTBLK;
    return -1;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

}  // namespace

int OpenDiskReadOnly(int nDiskNo) {
  std::string path = GetDiskDevicePath(nDiskNo);
  if (path.empty()) {
    errno = ENODEV;
    return -1;
  }
  return OpenPathReadOnly(path.c_str());
}

std::string GetSupportDir() {
  const char* env = getenv("TORVANE_SUPPORT_DIR");
  std::string dir;
  if (env && *env) {
    dir = env;
  } else if (const char* xdg = getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') {
    dir = std::string(xdg) + "/torvane-recovery";
  } else {
    const char* home = getenv("HOME");
    std::string h = home && home[0] == '/' ? home : "";
    if (h.empty()) {
      struct passwd pw, *res = nullptr;
      char buf[4096];
      if (getpwuid_r(geteuid(), &pw, buf, sizeof(buf), &res) == 0 && res && res->pw_dir) h = res->pw_dir;
    }
    dir = (h.empty() ? std::string("/tmp") : h) + "/.local/share/torvane-recovery";
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string GetScanLogDir() { return GetSupportDir() + "/ScanLog/"; }

int MakeDirectories(const std::string& path) {
  if (path.empty()) return EINVAL;
  std::string cur;
  size_t i = 0;
  while (i <= path.size()) {
    size_t slash = path.find('/', i);
    if (slash == std::string::npos) slash = path.size();
    cur = path.substr(0, slash);
    i = slash + 1;
    if (cur.empty()) continue;
    struct stat st;
    if (lstat(cur.c_str(), &st) == 0) {
      if (S_ISLNK(st.st_mode)) {
        // A link the system or we made is followed; another user's could
        // send our private files anywhere, so it is not.
        if (st.st_uid != 0 && st.st_uid != geteuid()) return ELOOP;
        if (stat(cur.c_str(), &st) != 0) return errno;
      }
      if (!S_ISDIR(st.st_mode)) return ENOTDIR;
      continue;
    }
    if (mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}
