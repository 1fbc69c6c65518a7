// Opening an engine's result set in the scan folder.
#pragma once

#include <memory>
#include <string>

#include "store/ScanResultFileManager.h"

// Opens result set pName (a new one, or a resumed scan's) into out. With
// bFresh, files a scan of the same minute left under that name are removed
// first: result-set names carry the minute only. 0 or a status.
int OpenResultSet(std::unique_ptr<CScanResultFileManager>& out, const wchar_t* pName, bool bFresh,
                  SEARCH_CALLBACK pSearchCallBack, void* pSearchParam);

// The name of a quick pass's result set for the volume at u64StartSector:
// "Fast_<start>_<date and minute>", how resumed scans find it by prefix.
std::wstring QuickResultSetName(u64 u64StartSector);
