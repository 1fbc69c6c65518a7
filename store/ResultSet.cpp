#include "store/ResultSet.h"

#include <unistd.h>

#include <string>

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
