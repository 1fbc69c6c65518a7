// The ext engine: it opens the volume and finds nothing. It exists so the
// factory has an engine to hand out for ext volumes.
#pragma once

#include "engine/IFileRecoveryParse.h"

class CFastExtRecovery : public IFileRecoveryParse {
 public:
  CFastExtRecovery();
  ~CFastExtRecovery() override;

  int Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) override;
  int Init(wchar_t* pPath, wchar_t wcDrive) override;
  int InitCallBack(SCAN_PROGRESS_CALLBACK, RECOVERY_CALLBACK, void*, int) override { return 0; }
  int ScanDevice(wchar_t*) override { return 0; }
  int GetChildrenFileNode(_FILE_NODE_*, unsigned int, FILE_NODE_VECTOR&) override { return 0; }
  int GetChildrenFileCount(_FILE_NODE_*, unsigned int, unsigned int&) override { return 0; }
  int GetLostFileCount() override { return 0; }
  int GetFileNodeParentDirPath(_FILE_NODE_*, wchar_t*, int) override { return 0; }
  int SaveFileData(_FILE_NODE_*, wchar_t*, int) override { return 0; }
  int GetUnUsedSectorCount(u64&, u64&) override { return 0; }
  int InitSearchCallBack(SEARCH_CALLBACK, void*) override { return 0; }
  int SearchFileNode(wchar_t*, SEARCH_FILE_INFO_VECTOR&) override { return 0; }
  int BuildBitMapInfo() override { return 0; }
  int PreView(_FILE_NODE_*, wchar_t*, unsigned char*, int&, PREVIEW_CALLBACK, void*) override { return 0; }

  int GetFd() const { return m_nFd; }

 private:
  int m_nFd;
  i64 m_u64StartSector;
  i64 m_u64SectorCount;
  wchar_t m_wcDrive;
};
