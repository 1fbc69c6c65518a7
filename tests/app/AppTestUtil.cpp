#include "AppTestUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QImage>
#include <cstring>
#include <cwchar>
#include <thread>

#include "engine/TextUtil.h"

CModalDriver::CModalDriver(const QString& objectName, std::function<bool(QWidget*)> act, int timeoutMs)
    : QObject(qApp), m_strName(objectName), m_act(std::move(act)), m_nTicksLeft(timeoutMs / 20), m_bDone(false) {
  connect(&m_timer, &QTimer::timeout, this, &CModalDriver::Tick);
  m_timer.start(20);
}

void CModalDriver::Tick() {
  if (m_bDone) return;
  if (--m_nTicksLeft < 0) {
    m_timer.stop();
    return;
  }
  QWidget* w = FindTopLevel(m_strName);
  if (w && w->isVisible() && m_act(w)) {
    m_bDone = true;
    m_timer.stop();
  }
}

QWidget* FindTopLevel(const QString& objectName) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == objectName && w->isVisible()) return w;
  return nullptr;
}

int CScriptedEngine::ScanDevice(wchar_t*) {
  for (int p = 10; p <= 110; p += 25) {
    if (m_pScan && m_pScan(m_pParam, p, 90, -1, static_cast<u64>(p), 110, m_vecHits.size(), nullptr) != 0) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (m_pScan) m_pScan(m_pParam, 100, 100, 0, 0, 0, 0, nullptr);
  return 0;
}

int CScriptedEngine::SaveFileData(_FILE_NODE_* pNode, wchar_t* pTargetPath, int) {
  ++m_nSaveCalls;
  std::string path = WideToUtf8(pTargetPath);
  m_vecSavedPaths.push_back(path);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    int err = errno;
    if (m_pRecovery) m_pRecovery(m_pParam, 100, 100, err, pTargetPath);
    return err;
  }
  const int steps = 50;
  for (int i = 1; i <= steps; ++i) {
    char byte = static_cast<char>('a' + (pNode->nFileIndex % 26));
    if (write(fd, &byte, 1) != 1) break;
    int progress = i * 100 / steps;
    // The last step is the file's closing report.
    if (m_pRecovery) {
      int r = m_pRecovery(m_pParam, progress, 100, 0, pTargetPath);
      if (r != 0) {
        close(fd);
        ++m_nCancelledSaves;
        return r;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(m_nStepMs.load()));
  }
  close(fd);
  return 0;
}

int CScriptedEngine::PreView(_FILE_NODE_* pNode, wchar_t* pTempPath, unsigned char* pBuf, int& nLen,
                             PREVIEW_CALLBACK pCb, void* param) {
  pTempPath[0] = 0;
  std::string name(pNode->szFileName);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0) {
    // A picture as wide as the node's size says, 300 pixels high.
    QImage image(static_cast<int>(pNode->u64FileSize), 300, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    std::string path = m_strTempDir + "/tmp.png";
    if (!image.save(QString::fromStdString(path), "PNG")) return 5;
    std::wstring wide = Utf8ToWide(path);
    wcscpy(pTempPath, wide.c_str());
    nLen = 0;
    if (pCb) pCb(param, 100, 0);
    return 0;
  }
  const char text[] = "scripted\0preview";
  int n = static_cast<int>(sizeof(text) - 1);
  if (n > nLen) n = nLen;
  memcpy(pBuf, text, static_cast<size_t>(n));
  nLen = n;
  if (pCb) pCb(param, 100, 0);
  return 0;
}

__SEARCH_FILE_INFO__ MakeHit(const char* name, u32 index, u64 size, u32 engine) {
  __SEARCH_FILE_INFO__ hit;
  memset(&hit, 0, sizeof(hit));
  hit.wcDrive = 67;
  hit.nEngineType = engine;
  hit.nFileIndex = index;
  hit.nClusterBytes = 0xFFFFFFFF;
  hit.u64FileSize = size;
  hit.bHealth = 1;
  strncpy(hit.szFileName, name, sizeof(hit.szFileName) - 1);
  return hit;
}

std::string FreshDestination(const std::string& tag) {
  struct stat shm, tmp;
  std::string base = "/tmp";
  if (stat("/dev/shm", &shm) == 0 && stat("/tmp", &tmp) == 0 && shm.st_dev != tmp.st_dev &&
      access("/dev/shm", W_OK) == 0)
    base = "/dev/shm";
  std::string dir = base + "/torvane-app-" + tag + "-" + std::to_string(getpid());
  std::string cmd = "rm -rf '" + dir + "'";
  if (system(cmd.c_str()) != 0) return std::string();
  mkdir(dir.c_str(), 0755);
  return dir;
}
