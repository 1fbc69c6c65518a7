#include "scan/FileRecoveryFactory.h"

#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <cstring>
#include <vector>

#include "carve/FileTypeJudge.h"
#include "scan/ProfessionalRecovery.h"
#include "disk/BootSector.h"
#include "engine/DiskMap.h"
#include "engine/DiskReader.h"
#include "ext/FastExtRecovery.h"
#include "engine/TextUtil.h"
#include "exfat/FastExfatRecovery.h"
#include "fat/FastFatRecovery.h"
#include "ntfs/FastNtfsRecovery.h"

namespace {
constexpr size_t kProbeBytes = 16384;

IFileRecoveryParse* CreateEngine(int kind, RECOVERY_TYPE eType) {
  if (eType != RECOVERY_TYPE_FAST) return new CProfessionalRecovery();
  switch (kind) {
    case 0: return new CFastNtfsRecovery();
    case 1: return new CFastFatRecovery();
    case 2: return new CFastExtRecovery();
    case 3: return new CFastExfatRecovery();
    default: return nullptr;
  }
}

// Reads the first 16384 bytes of the volume; false with the diagnostic the
// caller expects when the device cannot give them. *pBootLost: the first
// sector itself was unreadable.
bool ReadProbe(int fd, u64 offset, std::vector<unsigned char>& buf, bool* pBootLost) {
  *pBootLost = false;
  buf.assign(kProbeBytes, 0);
  // Positioned: the descriptor is shared with every reader of the target.
  size_t got = 0;
  if (ReadAt(fd, buf.data(), kProbeBytes, offset, &got) == 0 && got == kProbeBytes) return true;
  // A bad sector in the probe costs that sector, not the scan: the rest is
  // read sector by sector, what cannot be read left as zeros.
  size_t readable = 0;
  for (size_t at = 0; at < kProbeBytes; at += SECTOR_SIZE) {
    size_t n = 0;
    if (ReadAt(fd, buf.data() + at, SECTOR_SIZE, offset + at, &n) == 0 && n == SECTOR_SIZE)
      ++readable;
    else {
      memset(buf.data() + at, 0, SECTOR_SIZE);
      if (at == 0) *pBootLost = true;
    }
  }
  if (readable == 0) {
    fprintf(stderr, "read Failed\n");
    return false;
  }
  return true;
}
}  // namespace

CFileRecoveryFactory* CFileRecoveryFactory::GetInstance() {
  CFileTypeJudge::InstallContentMatcher();
  static CFileRecoveryFactory instance;
  return &instance;
}

int CFileRecoveryFactory::ClassifyVolume(const unsigned char* pBuf, size_t nLen) {
  if (IsNtfs(pBuf, nLen)) return 0;
  if (IsFat(pBuf, nLen)) return 1;
  if (IsExt(pBuf, nLen)) return 2;
  if (IsExfat(pBuf, nLen)) return 3;
  // The backup counts only where the first sector carries no boot signature
  // at all: a partition table written over an old exFAT volume leaves the
  // old backup behind, and that volume is gone.
  const size_t backup = 12 * 512;
  if (pBuf && nLen > backup && !(pBuf[510] == 0x55 && pBuf[511] == 0xAA) && IsExfat(pBuf + backup, nLen - backup))
    return 3;
  return -1;
}

// Opens nothing itself: takes an open descriptor, classifies the volume of
// u64Sectors sectors at offset and closes the descriptor on every path. -2
// when the probe failed. An unreadable boot sector is replaced by the file
// system's backup: FAT32's sector 6 or NTFS's last sector (exFAT's sector 12
// is looked at by ClassifyVolume).
static int ClassifyOpenVolume(int fd, i64 offset, u64 u64Sectors) {
  if (fd < 0) {
    fprintf(stderr, "Open Failed\n");
    return -2;
  }
  std::vector<unsigned char> buf;
  bool bootLost = false;
  bool ok = offset >= 0 && ReadProbe(fd, static_cast<u64>(offset), buf, &bootLost);
  if (ok && bootLost) {
    for (BOOT_KIND kind : {BOOT_FAT, BOOT_NTFS}) {
      std::vector<unsigned char> boot(SECTOR_SIZE);
      if (ReadVolumeStart(fd, static_cast<u64>(offset) / SECTOR_SIZE, u64Sectors, kind, boot.data(), boot.size()) ==
          0) {
        memcpy(buf.data(), boot.data(), SECTOR_SIZE);
        break;
      }
    }
  }
  close(fd);
  return ok ? CFileRecoveryFactory::ClassifyVolume(buf.data(), buf.size()) : -2;
}

IFileRecoveryParse* CFileRecoveryFactory::CreateFileRecoveryInstance(int nDiskNo, i64 u64StartSector,
                                                                      i64 u64SectorCount, wchar_t wcDrive,
                                                                      RECOVERY_TYPE eType) {
  if (u64StartSector < 0) return nullptr;
  int kind = ClassifyOpenVolume(OpenDiskReadOnly(nDiskNo), u64StartSector * SECTOR_SIZE,
                                u64SectorCount > 0 ? static_cast<u64>(u64SectorCount) : 0);
  if (kind == -2) return nullptr;
  IFileRecoveryParse* engine = CreateEngine(kind, eType);
  if (engine) engine->Init(nDiskNo, u64StartSector, u64SectorCount, wcDrive);
  return engine;
}

IFileRecoveryParse* CFileRecoveryFactory::CreateFileRecoveryInstance(wchar_t* pPath, wchar_t wcDrive,
                                                                      RECOVERY_TYPE eType) {
  if (!pPath) return nullptr;
  char path[256];
  inner_uni2str(path, pPath, sizeof(path), -1);
  int fd = OpenPathReadOnly(path);
  int kind = ClassifyOpenVolume(fd, 0, fd < 0 ? 0 : rsb_getDeviceSize(fd) / SECTOR_SIZE);
  if (kind == -2) return nullptr;
  IFileRecoveryParse* engine = CreateEngine(kind, eType);
  if (engine) engine->Init(pPath, wcDrive);
  return engine;
}
