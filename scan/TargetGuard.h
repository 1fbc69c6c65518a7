// The one rule for where we may write while a disk or image is scanned:
// nowhere that writing could change what is being scanned. It covers the
// recovery folder, the report and the support folder alike, and both front
// ends ask it through the scan session.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>

class CTargetGuard {
 public:
  // Learns what writing must not touch for the scanned device node or image
  // file: the image file itself (any of its hard links), every block device
  // that is or holds a part of the target (its whole disk and partitions,
  // loop devices backed by the image or stacked on a protected device,
  // device-mapper/md devices built on them, and what they are built on), and
  // every mounted file system whose source is one of those or the image
  // file (loop, fuseblk, FUSE mounts of the image such as ntfs-3g).
  explicit CTargetGuard(const std::string& scannedPath);

  // 0, or STATUS_DEST_ON_TARGET when files created in folder dir (or its
  // nearest existing parent, when it does not exist yet) could land on the
  // target.
  int CheckFolder(const std::string& dir) const;
  // 0, or STATUS_DEST_ON_TARGET when writing the file at path could change
  // the target (the path is the image, a protected device, or lies on a
  // protected file system).
  int CheckFile(const std::string& path) const;

  // What was learned, for tests and messages.
  const std::set<dev_t>& ProtectedBlockDevices() const { return m_blockDevices; }
  const std::set<dev_t>& ProtectedFileSystems() const { return m_fileSystems; }

 private:
  void AddBlockDevice(dev_t dev);
  void AddStackedDevices();
  void AddMounts();
  bool IsProtectedDevice(dev_t dev) const;

  bool m_bImage;
  dev_t m_imageDev;
  ino_t m_imageIno;
  std::set<dev_t> m_blockDevices;
  std::set<dev_t> m_fileSystems;
};
