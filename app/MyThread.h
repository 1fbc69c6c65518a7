// One worker thread per long operation: runs one function and ends. It
// reports only by the signals the function emits (queued to the GUI thread)
// and by QThread::finished.
#pragma once

#include <QThread>
#include <functional>

class CMyThread : public QThread {
  Q_OBJECT
 public:
  explicit CMyThread(std::function<void()> work, QObject* pParent = nullptr)
      : QThread(pParent), m_work(std::move(work)) {}

 protected:
  void run() override {
    if (m_work) m_work();
  }

 private:
  std::function<void()> m_work;
};
