// Entry point. An unprivileged start asks for administrator rights (pkexec)
// and relaunches itself with "start"; the privileged instance (or a start by
// root) shows the main window.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <QApplication>
#include <QProcess>
#include <QStandardPaths>

#include "app/DRUI.h"
#include "app/Platform.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"

namespace {

// Runs the launcher: 0 when the privileged instance ran (its status is
// passed on in *pStatus), -1 when rights could not be obtained.
int LaunchPrivileged(const START_OPTIONS& opt, int* pStatus) {
  QString pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
  if (pkexec.isEmpty()) return -1;
  QStringList images;
  for (const QString& image : opt.images) {
    char resolved[PATH_MAX];
    QByteArray local = image.toLocal8Bit();
    images << (realpath(local.constData(), resolved) ? QString::fromLocal8Bit(resolved) : image);
  }
  int rc = QProcess::execute(pkexec, BuildElevationArguments(QCoreApplication::applicationFilePath(), images));
  // 126: the request was dismissed; 127: not authorised; negative: pkexec did not run.
  if (rc == 126 || rc == 127 || rc < 0) return -1;
  *pStatus = rc;
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  qInstallMessageHandler(customMessageHandler);
  START_OPTIONS opt = ParseStartArguments(app.arguments());

  if (opt.eRole == ROLE_LAUNCHER && geteuid() != 0) {
    int status = 0;
    if (LaunchPrivileged(opt, &status) == 0) return status;
    // No way to obtain rights: go on without them; images still open.
  }

  int outFd = open("Out.txt", O_CREAT | O_RDWR | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (outFd >= 0) dup2(outFd, 2);
  if (inner_initUnicodeMap("UTF-8") != 0) qDebug("inner_initUnicodeMap failed\n");

  int nExit = 0;
  {
    DRUI window;
    window.Init();
    for (const QString& image : opt.images) window.AddImage(image);
    if (geteuid() != 0)
      window.SetPrivilegeWarning(QStringLiteral(
          "Running without administrator rights: disks cannot be opened. Disk images can still be scanned "
          "(Open Disk Image\u2026)."));
    window.show();
    nExit = app.exec();
  }
  (void)nExit;

  char cwd[PATH_MAX];
  bool haveCwd = getcwd(cwd, sizeof(cwd)) != nullptr;
  DeleteTmpFile(GetScanLogDir().c_str());
  if (haveCwd && chdir(cwd) != 0) qDebug("chdir failed\n");
  if (outFd >= 0) {
    close(outFd);
    unlink("Out.txt");
  }
  return 0;
}
