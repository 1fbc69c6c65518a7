// Helpers for driving the windows from Qt Test: answering modal dialogs from
// a timer, waiting for the window's background work, and folders to save into.
#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <string>

// Calls act on the top-level widget named objectName (once it is visible)
// every 20 ms until act returns true or timeoutMs passes.
class CModalDriver : public QObject {
  Q_OBJECT
 public:
  CModalDriver(const QString& objectName, std::function<bool(QWidget*)> act, int timeoutMs = 60000);
  bool Done() const { return m_bDone; }

 private slots:
  void Tick();

 private:
  QString m_strName;
  std::function<bool(QWidget*)> m_act;
  QTimer m_timer;
  int m_nTicksLeft;
  bool m_bDone;
};

QWidget* FindTopLevel(const QString& objectName);
// Runs the event loop until pred holds or timeoutMs passes; pred's last answer.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 30000);
// A folder under /dev/shm (another file system than the test images), or
// under /tmp when there is no such file system.
std::string FreshDestination(const std::string& tag);
