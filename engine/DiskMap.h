// The platform layer: which device node or image a disk number means, and
// where the program keeps its own files. Every open of a disk goes through
// OpenDiskReadOnly, so only this file knows how disks are named.
#pragma once

#include <string>
#include <vector>

// Disk N is: the N-th entry of TORVANE_DISKS (colon-separated image files or
// device nodes) when set; else "/dev/diskN" where that exists; else the N-th
// whole disk listed from /sys/block in name order. Images added with
// AddDiskImage follow those numbers.
std::string GetDiskDevicePath(int nDiskNo);
std::vector<std::string> ListDiskDevices();
// Adds an image file as a disk of its own and returns its number (the same
// number again when the path is already on the list), or -1.
int AddDiskImage(const std::string& path);
// Opens disk N read-only; -1 with errno set on failure (ENODEV for no such disk).
int OpenDiskReadOnly(int nDiskNo);
// Opens a path read-only; never for writing. Only regular files and block
// devices: anything else fails with ENOTBLK (a FIFO would block forever).
// While a CSharedDiskOpen of the same file lives, gives a duplicate of its
// one open instead of opening the device again.
int OpenPathReadOnly(const char* pPath);

// One open of a disk or image for the length of a scan: the engines each
// keep a descriptor, and all of them are duplicates of this one, so the
// device is opened once however many engines read it. They use positioned
// reads; the shared file offset is not relied on across threads.
class CSharedDiskOpen {
 public:
  explicit CSharedDiskOpen(const std::string& path);
  ~CSharedDiskOpen();
  CSharedDiskOpen(const CSharedDiskOpen&) = delete;
  CSharedDiskOpen& operator=(const CSharedDiskOpen&) = delete;

 private:
  std::string m_strKey;
};

// TORVANE_SUPPORT_DIR, else $XDG_DATA_HOME/torvane-recovery, else
// ~/.local/share/torvane-recovery.
std::string GetSupportDir();
// The support folder's "ScanLog/" sub-folder, with its final "/".
std::string GetScanLogDir();
// Creates a folder and its missing parents with mode 0700 (our own files are
// private); 0 or errno.
int MakeDirectories(const std::string& path);
