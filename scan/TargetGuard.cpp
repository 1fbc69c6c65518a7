#include "scan/TargetGuard.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "engine/Status.h"

namespace {

std::string SysfsDir(dev_t dev) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), "/sys/dev/block/%u:%u", major(dev), minor(dev));
  return buf;
}

bool ReadDevFile(const std::string& path, dev_t& out) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return false;
  unsigned maj = 0, min = 0;
  bool ok = std::fscanf(f, "%u:%u", &maj, &min) == 2;
  std::fclose(f);
  if (ok) out = makedev(maj, min);
  return ok;
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> out;
  DIR* d = opendir(path.c_str());
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    out.push_back(e->d_name);
  }
  closedir(d);
  return out;
}

// The whole disk that holds a block device (itself when it is a disk).
dev_t WholeDisk(dev_t dev) {
  std::string dir = SysfsDir(dev);
  if (access((dir + "/partition").c_str(), F_OK) != 0) return dev;
  dev_t parent = dev;
  return ReadDevFile(dir + "/../dev", parent) ? parent : dev;
}

// The devices named in a sysfs folder of device names (holders/, slaves/).
std::vector<dev_t> NamedDevices(const std::string& dir) {
  std::vector<dev_t> out;
  for (const std::string& name : ListDir(dir)) {
    dev_t d;
    if (ReadDevFile("/sys/class/block/" + name + "/dev", d)) out.push_back(d);
  }
  return out;
}

// Partitions of a whole disk: its sysfs sub-folders that have a "partition" file.
std::vector<dev_t> PartitionsOf(dev_t disk) {
  std::vector<dev_t> out;
  std::string dir = SysfsDir(disk);
  for (const std::string& name : ListDir(dir)) {
    std::string sub = dir + "/" + name;
    dev_t d;
    if (access((sub + "/partition").c_str(), F_OK) == 0 && ReadDevFile(sub + "/dev", d)) out.push_back(d);
  }
  return out;
}

// mountinfo escapes blanks and backslashes as \ooo.
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
        s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
      int v = (s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0');
      out.push_back(static_cast<char>(v));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// The nearest existing folder at or above path (relative paths from the
// working folder), and its status.
bool NearestExisting(const std::string& path, struct stat& st) {
  std::string probe = path;
  if (probe.empty()) return false;
  if (probe[0] != '/') {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof(cwd))) return false;
    probe = std::string(cwd) + "/" + probe;
  }
  while (stat(probe.c_str(), &st) != 0) {
    size_t slash = probe.find_last_of('/');
    if (slash == std::string::npos || probe == "/") return false;
    probe = slash == 0 ? "/" : probe.substr(0, slash);
  }
  return true;
}

}  // namespace

CTargetGuard::CTargetGuard(const std::string& scannedPath) : m_bImage(false), m_imageDev(0), m_imageIno(0) {
  struct stat st;
  if (stat(scannedPath.c_str(), &st) != 0) return;
  if (S_ISREG(st.st_mode)) {
    m_bImage = true;
    m_imageDev = st.st_dev;
    m_imageIno = st.st_ino;
  } else if (S_ISBLK(st.st_mode)) {
    AddBlockDevice(st.st_rdev);
  } else {
    return;
  }
  AddStackedDevices();
  AddMounts();
}

void CTargetGuard::AddBlockDevice(dev_t dev) {
  if (!m_blockDevices.insert(dev).second) return;
  // The whole disk and every partition of it: a neighbouring partition of a
  // failing disk is no place to write either.
  dev_t disk = WholeDisk(dev);
  m_blockDevices.insert(disk);
  for (dev_t p : PartitionsOf(disk)) m_blockDevices.insert(p);
}

void CTargetGuard::AddStackedDevices() {
  // Until nothing new turns up: devices built on protected ones (holders),
  // what protected ones are built on (slaves), loop devices whose backing is
  // the image or a protected device.
  for (int round = 0; round < 64; ++round) {
    size_t before = m_blockDevices.size();
    std::vector<dev_t> known(m_blockDevices.begin(), m_blockDevices.end());
    for (dev_t d : known) {
      for (dev_t h : NamedDevices(SysfsDir(d) + "/holders")) AddBlockDevice(h);
      for (dev_t s : NamedDevices(SysfsDir(d) + "/slaves")) AddBlockDevice(s);
    }
    for (const std::string& name : ListDir("/sys/block")) {
      if (name.compare(0, 4, "loop") != 0) continue;
      std::string backing;
      {
        std::ifstream f("/sys/block/" + name + "/loop/backing_file");
        if (!f || !std::getline(f, backing)) continue;  // not attached
      }
      dev_t loopDev;
      if (!ReadDevFile("/sys/block/" + name + "/dev", loopDev)) continue;
      bool hit = false;
      struct stat bst;
      if (stat(backing.c_str(), &bst) == 0) {
        if (S_ISREG(bst.st_mode))
          hit = m_bImage && bst.st_dev == m_imageDev && bst.st_ino == m_imageIno;
        else if (S_ISBLK(bst.st_mode))
          hit = IsProtectedDevice(bst.st_rdev);
      }
      if (!hit && m_bImage) {
        // The backing file may have been renamed since: the kernel still
        // knows its device and inode.
        int fd = open(("/dev/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
          loop_info64 info;
          std::memset(&info, 0, sizeof(info));
          if (ioctl(fd, LOOP_GET_STATUS64, &info) == 0)
            hit = static_cast<dev_t>(info.lo_device) == m_imageDev && static_cast<ino_t>(info.lo_inode) == m_imageIno;
          close(fd);
        }
      }
      if (hit) AddBlockDevice(loopDev);
    }
    if (m_blockDevices.size() == before) break;
  }
}

void CTargetGuard::AddMounts() {
  std::ifstream f("/proc/self/mountinfo");
  std::string line;
  while (std::getline(f, line)) {
    std::istringstream in(line);
    std::string id, parent, majmin, root, point;
    if (!(in >> id >> parent >> majmin >> root >> point)) continue;
    std::string word;
    while (in >> word && word != "-") {
    }
    std::string fstype, source;
    in >> fstype >> source;
    unsigned maj = 0, min = 0;
    if (std::sscanf(majmin.c_str(), "%u:%u", &maj, &min) != 2) continue;
    dev_t fsDev = makedev(maj, min);
    bool hit = IsProtectedDevice(fsDev);
    source = Unescape(source);
    struct stat st;
    if (!hit && !source.empty() && source[0] == '/' && stat(source.c_str(), &st) == 0) {
      if (S_ISBLK(st.st_mode))
        hit = IsProtectedDevice(st.st_rdev);
      else if (S_ISREG(st.st_mode))
        hit = m_bImage && st.st_dev == m_imageDev && st.st_ino == m_imageIno;
    }
    if (hit) m_fileSystems.insert(fsDev);
  }
}

bool CTargetGuard::IsProtectedDevice(dev_t dev) const {
  return m_blockDevices.count(dev) != 0 || m_blockDevices.count(WholeDisk(dev)) != 0;
}

int CTargetGuard::CheckFolder(const std::string& dir) const {
  struct stat st;
  if (!NearestExisting(dir, st)) return 0;
  if (m_fileSystems.count(st.st_dev) || IsProtectedDevice(st.st_dev)) return STATUS_DEST_ON_TARGET;
  return 0;
}

int CTargetGuard::CheckFile(const std::string& path) const {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (S_ISREG(st.st_mode) && m_bImage && st.st_dev == m_imageDev && st.st_ino == m_imageIno)
      return STATUS_DEST_ON_TARGET;
    if (S_ISBLK(st.st_mode) && IsProtectedDevice(st.st_rdev)) return STATUS_DEST_ON_TARGET;
  }
  // A link at the path is replaced, not followed; what counts is the folder.
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  return CheckFolder(dir);
}
