#include "ext/FastExtRecovery.h"

#include <errno.h>
#include <unistd.h>

#include "engine/DiskMap.h"
#include "engine/DiskReader.h"
#include "engine/TextUtil.h"

CFastExtRecovery::CFastExtRecovery() : m_nFd(-1), m_u64StartSector(0), m_u64SectorCount(0), m_wcDrive(0) {}

// We close what we opened: leaking a descriptor per scan serves nobody.
CFastExtRecovery::~CFastExtRecovery() {
  if (m_nFd != -1) close(m_nFd);
}

int CFastExtRecovery::Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) {
  int fd = OpenDiskReadOnly(nDiskNo);
  if (fd < 0) return errno ? errno : ENODEV;
  if (m_nFd != -1) close(m_nFd);
  m_nFd = fd;
  m_u64StartSector = u64StartSector;
  m_u64SectorCount = u64SectorCount;
  m_wcDrive = wcDrive;
  return 0;
}

int CFastExtRecovery::Init(wchar_t* pPath, wchar_t wcDrive) {
  if (!pPath) return STATUS_INVALID_PARAMETER;
  std::string path = WideToUtf8(pPath);
  int fd = OpenPathReadOnly(path.c_str());
  if (fd < 0) return errno ? errno : ENOENT;
  if (m_nFd != -1) close(m_nFd);
  m_nFd = fd;
  m_u64StartSector = 0;
  m_u64SectorCount = static_cast<i64>(rsb_getDeviceSize(fd) / SECTOR_SIZE);
  m_wcDrive = wcDrive;
  return 0;
}
