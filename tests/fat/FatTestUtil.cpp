#include "tests/fat/FatTestUtil.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "engine/TextUtil.h"
#include "store/LogFileManager.h"
#include "store/ScanResultFileManager.h"

namespace fattest {

std::string UseFreshSupportDir(const std::string& tag) {
  std::string dir = testimg::MakeTempDir("fat-support-" + tag);
  setenv("TORVANE_SUPPORT_DIR", dir.c_str(), 1);
  CLogFileManager::GetInstance()->Reload();
  return dir;
}

std::string JoinFolder(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder == "/") return "/" + name;
  return folder + "/" + name;
}

std::multimap<std::string, Found> SearchAllFiles(IFileRecoveryParse& engine) {
  std::string pattern = std::string("*.other|") + g_szPhotoExtList + "|" + g_szMusicExtList + "|" +
                        g_szDocumentExtList + "|" + g_szVideoExtList + "|" + g_szArchiveExtList;
  std::wstring wpattern = Utf8ToWide(pattern);
  SEARCH_FILE_INFO_VECTOR hits;
  engine.SearchFileNode(&wpattern[0], hits);
  std::multimap<std::string, Found> out;
  for (auto& hit : hits) {
    Found f;
    f.node = hit;
    wchar_t path[4096] = {0};
    engine.GetFileNodeParentDirPath(&f.node, path, 4096);
    std::string parent = WideToUtf8(path);  // "a/b/" or ""
    if (!parent.empty() && parent.back() == '/') parent.pop_back();
    f.folder = "/" + parent;
    out.emplace(JoinFolder(f.folder, f.node.szFileName), f);
  }
  return out;
}

static void Browse(IFileRecoveryParse& engine, _FILE_NODE_* parent, u32 level, const std::string& folder,
                   std::set<u64>& seen, std::vector<Found>& out) {
  if (level > 64) return;
  FILE_NODE_VECTOR children;
  engine.GetChildrenFileNode(parent, level, children);
  for (auto& child : children) {
    Found f{folder, child};
    out.push_back(f);
    if (!child.bIsDir) continue;
    if (!seen.insert((static_cast<u64>(level + 1) << 32) | child.nClusterNO).second) continue;
    Browse(engine, &child, level + 1, JoinFolder(folder, child.szFileName), seen, out);
  }
}

std::vector<Found> BrowseAll(IFileRecoveryParse& engine, u32 nTopLevel) {
  std::vector<Found> out;
  std::set<u64> seen;
  Browse(engine, nullptr, nTopLevel, "/", seen, out);
  return out;
}

std::string SaveNode(IFileRecoveryParse& engine, _FILE_NODE_ node, const std::string& dir, int* pStatus) {
  std::string path = dir + "/" + MakeSafePathComponent(node.szFileName);
  std::wstring wpath = Utf8ToWide(path);
  int rootIndex = 0;
  std::wstring wdir = Utf8ToWide(dir + "/");
  GetPathDirIndex(wdir.c_str(), rootIndex);
  unlink(path.c_str());  // a save never overwrites: start from a free name
  int status = engine.SaveFileData(&node, &wpath[0], rootIndex);
  if (pStatus) *pStatus = status;
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? path : std::string();
}

std::vector<testimg::ManifestFile> DeletedFiles(const testimg::Manifest& m, int partition) {
  std::vector<testimg::ManifestFile> out;
  for (const auto& f : m.files)
    if (f.state == "deleted" && (partition < 0 || f.partition == partition)) out.push_back(f);
  return out;
}

}  // namespace fattest
