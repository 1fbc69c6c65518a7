#include "store/ResultSet.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/DiskReader.h"
#include "engine/TextUtil.h"
#include "store/LogFileManager.h"

int OpenResultSet(std::unique_ptr<CScanResultFileManager>& out, const wchar_t* pName, bool bFresh,
                  SEARCH_CALLBACK pSearchCallBack, void* pSearchParam) {
  if (bFresh && pName) {
    std::string base = CLogFileManager::GetInstance()->GetLogFileDirPath() + WideToUtf8(pName);
    unlink(base.c_str());
    unlink((base + "_Relation").c_str());
    unlink((base + "_DirInfo").c_str());
  }
  out.reset(new CScanResultFileManager());
  int status = out->Init(pName);
  if (status == 0 && pSearchCallBack) out->InitSearchCallBack(pSearchCallBack, pSearchParam);
  return status;
}

std::wstring QuickResultSetName(u64 u64StartSector) {
  SYSTEMTIME t;
  memset(&t, 0, sizeof(t));
  rsb_getSystemTime(&t);
  char name[128];
  snprintf(name, sizeof(name), "Fast_%lld_%d%d%d%d%2d", static_cast<long long>(u64StartSector), t.wYear, t.wMonth,
           t.wDay, t.wHour, t.wMinute);
  return Utf8ToWide(name);
}
