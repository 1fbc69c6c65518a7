#include "AppTestUtil.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <cstdlib>

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

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
  QElapsedTimer t;
  t.start();
  while (!pred()) {
    if (t.elapsed() > timeoutMs) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
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
