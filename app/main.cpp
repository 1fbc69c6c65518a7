// Entry point. An unprivileged start asks for administrator rights (pkexec)
// and relaunches itself with "start", handing over only what the privileged
// instance needs: the display, and the images and support folder the user
// may use (checked as the user). The privileged instance (or a start by
// root, or a start without pkexec) shows the main window.
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
  // The user's own support folder, made by the user, so the privileged
  // instance keeps its scans where the user's next start finds them.
  std::string support = GetSupportDir();
  QString supportArg = MakeDirectories(support) == 0 ? QString::fromStdString(support) : QString();
  QStringList args = BuildElevationArguments(QCoreApplication::applicationFilePath(), ImagesForElevation(opt.images),
                                             supportArg);
  int rc = QProcess::execute(pkexec, args);
  // 126: the request was dismissed; 127: not authorised; negative: pkexec did not run.
  if (rc == 126 || rc == 127 || rc < 0) return -1;
  *pStatus = rc;
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  PinLocalTimeZone();
  QApplication app(argc, argv);
  START_OPTIONS opt = ParseStartArguments(app.arguments());

  if (opt.eRole == ROLE_LAUNCHER && geteuid() != 0) {
    int status = 0;
    if (LaunchPrivileged(opt, &status) == 0) return status;
    // No way to obtain rights: go on without them; images still open.
  }
  QStringList notes;
  if (opt.eRole == ROLE_PRIVILEGED) notes = ApplyPrivilegedSettings(opt);

  // The log goes to our own file in the support folder; Qt's warnings too.
  int logFd = OpenProgramLog();
  if (logFd >= 0) {
    dup2(logFd, 2);
    close(logFd);
  }
  qInstallMessageHandler(customMessageHandler);
  for (const QString& note : notes) qWarning("%s", qPrintable(note));
  if (inner_initUnicodeMap("UTF-8") != 0) qWarning("the UTF-8 converter is missing");

  int nExit = 0;
  {
    DRUI window;
    window.Init();
    for (const QString& image : opt.images) {
      int status = 0;
      if (window.AddImage(image, &status) < 0)
        qWarning("%s cannot be opened as a disk image: %s", qPrintable(image), StatusText(status).c_str());
    }
    if (geteuid() != 0)
      window.SetPrivilegeWarning(QStringLiteral(
          "Running without administrator rights: disks cannot be opened. Disk images can still be scanned "
          "(Open disk image\u2026)."));
    window.show();
    nExit = app.exec();
  }
  DeleteTmpFile(GetScanLogDir().c_str());
  return nExit;
}
