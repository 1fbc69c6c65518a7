#include "app/Platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QProcessEnvironment>
#include <fstream>

void customMessageHandler(QtMsgType type, const QMessageLogContext& /*context*/, const QString& text) {
  // Diagnostics stay silent in the shipped program; the text is built and
  // dropped so a debugger can still see it.
  QString message;
  switch (type) {
    case QtDebugMsg: message = QStringLiteral("Debug: %1").arg(text); break;
    default: break;
  }
  (void)message;
}

int DeleteTmpFile(const char* pDir) {
  if (!pDir) return 0;
  char cwd[PATH_MAX];
  bool haveCwd = getcwd(cwd, sizeof(cwd)) != nullptr;
  if (chdir(pDir) != 0) return 0;
  DIR* dir = opendir(".");
  if (!dir) {
    qDebug("open dir failed\n");
    if (haveCwd && chdir(cwd) != 0) qDebug("chdir back failed\n");
    return 0;
  }
  while (dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    if (strstr(e->d_name, "tmp.")) unlink(e->d_name);
  }
  closedir(dir);
  if (haveCwd && chdir(cwd) != 0) qDebug("chdir back failed\n");
  return 1;
}

START_OPTIONS ParseStartArguments(const QStringList& args) {
  START_OPTIONS opt;
  QStringList rest;
  for (int i = 0; i < args.size(); ++i) {
    if (i > 0 && args[i] == QLatin1String("--image") && i + 1 < args.size()) {
      opt.images << args[++i];
    } else if (i > 0 && args[i].startsWith(QLatin1String("--image="))) {
      opt.images << args[i].mid(8);
    } else {
      rest << args[i];
    }
  }
  opt.eRole = rest.size() == 2 ? ROLE_PRIVILEGED : ROLE_LAUNCHER;
  return opt;
}

QStringList BuildElevationArguments(const QString& exePath, const QStringList& images) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  QStringList args;
  args << QStringLiteral("env");
  QString xauth = env.value(QStringLiteral("XAUTHORITY"));
  if (xauth.isEmpty() && env.contains(QStringLiteral("HOME")))
    xauth = env.value(QStringLiteral("HOME")) + QStringLiteral("/.Xauthority");
  if (env.contains(QStringLiteral("DISPLAY"))) args << QStringLiteral("DISPLAY=") + env.value(QStringLiteral("DISPLAY"));
  if (!xauth.isEmpty()) args << QStringLiteral("XAUTHORITY=") + xauth;
  for (const char* name : {"WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "TORVANE_DISKS", "TORVANE_SUPPORT_DIR", "LANG"}) {
    QString key = QString::fromLatin1(name);
    if (env.contains(key)) args << key + QLatin1Char('=') + env.value(key);
  }
  args << exePath << QStringLiteral("start");
  for (const QString& image : images) args << QStringLiteral("--image") << image;
  return args;
}

namespace {

bool ParseId(const char* text, unsigned long& out) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long v = strtoul(text, &end, 10);
  if (errno != 0 || !end || *end != 0 || v > 0x7FFFFFFFUL) return false;
  out = v;
  return true;
}

uid_t g_walkUid;
gid_t g_walkGid;
int g_walkCount;

int ChownEntry(const char* path, const struct stat*, int, struct FTW*) {
  if (lchown(path, g_walkUid, g_walkGid) == 0) ++g_walkCount;
  return 0;
}

}  // namespace

bool GetInvokingUser(uid_t& uid, gid_t& gid) {
  if (geteuid() != 0) return false;
  unsigned long u = 0, g = 0;
  if (ParseId(getenv("PKEXEC_UID"), u)) {
    uid = static_cast<uid_t>(u);
    struct passwd pw, *res = nullptr;
    char buf[4096];
    gid = (getpwuid_r(uid, &pw, buf, sizeof(buf), &res) == 0 && res) ? pw.pw_gid : static_cast<gid_t>(u);
    return uid != 0;
  }
  if (ParseId(getenv("SUDO_UID"), u)) {
    uid = static_cast<uid_t>(u);
    gid = ParseId(getenv("SUDO_GID"), g) ? static_cast<gid_t>(g) : static_cast<gid_t>(u);
    return uid != 0;
  }
  return false;
}

int HandOverToUser(const std::string& path, uid_t uid, gid_t gid) {
  struct stat st;
  if (path.empty() || lstat(path.c_str(), &st) != 0) return -1;
  if (!S_ISDIR(st.st_mode)) return lchown(path.c_str(), uid, gid) == 0 ? 1 : -1;
  // Only the worker calls this, one recovery at a time.
  g_walkUid = uid;
  g_walkGid = gid;
  g_walkCount = 0;
  if (nftw(path.c_str(), ChownEntry, 32, FTW_PHYS | FTW_MOUNT) != 0) return -1;
  return g_walkCount;
}

dev_t WholeDiskOf(dev_t dev) {
  char link[128];
  snprintf(link, sizeof(link), "/sys/dev/block/%u:%u", major(dev), minor(dev));
  char resolved[PATH_MAX];
  if (!realpath(link, resolved)) return dev;
  std::string dir = resolved;
  struct stat st;
  if (stat((dir + "/partition").c_str(), &st) != 0) return dev;
  size_t slash = dir.rfind('/');
  if (slash == std::string::npos) return dev;
  std::ifstream f(dir.substr(0, slash) + "/dev");
  unsigned int ma = 0, mi = 0;
  char colon = 0;
  if (!(f >> ma >> colon >> mi) || colon != ':') return dev;
  return makedev(ma, mi);
}

bool IsOnScannedDevice(const std::string& destDir, const std::string& scannedPath) {
  struct stat dest, scanned;
  if (destDir.empty() || scannedPath.empty()) return false;
  if (stat(destDir.c_str(), &dest) != 0 || stat(scannedPath.c_str(), &scanned) != 0) return false;
  if (S_ISBLK(scanned.st_mode)) return WholeDiskOf(dest.st_dev) == WholeDiskOf(scanned.st_rdev);
  // An image file: its own file system is what a careless save could fill.
  return dest.st_dev == scanned.st_dev;
}
