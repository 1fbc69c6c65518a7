// One worker thread per long operation: runs one function with an opaque
// pointer and ends.
#pragma once

#include <QThread>

typedef void (*THREAD_FUNC)(void* param, int& nResult);

class CMyThread : public QThread {
  Q_OBJECT
 public:
  explicit CMyThread(QObject* pParent = nullptr) : QThread(pParent), m_pFunc(nullptr), m_pParam(nullptr) {}

  void SetFunc(THREAD_FUNC pFunc, void* pParam) {
    m_pFunc = pFunc;
    m_pParam = pParam;
  }

 signals:
  void ProcessCallBack(int nProcess);

 protected:
  void run() override {
    int nResult = 0;
    if (m_pFunc) m_pFunc(m_pParam, nResult);
  }

 private:
  THREAD_FUNC m_pFunc;
  void* m_pParam;
};
