#include "app/Platform.h"

#include <dirent.h>
#include <grp.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QDateTime>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include "engine/DiskMap.h"
#include "engine/SafeFs.h"
#include "engine/Status.h"

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

// "tmp." and then 1 to 8 letters or digits: the preview files and nothing else.
bool IsPreviewFileName(const char* name) {
  if (strncmp(name, "tmp.", 4) != 0) return false;
  size_t n = strlen(name + 4);
  if (n == 0 || n > 8) return false;
  for (const char* p = name + 4; *p; ++p)
    if (!((*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9'))) return false;
  return true;
}

}  // namespace

void customMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& text) {
  const char* kind = "debug";
  switch (type) {
    case QtInfoMsg: kind = "info"; break;
    case QtWarningMsg: kind = "warning"; break;
    case QtCriticalMsg: kind = "error"; break;
    case QtFatalMsg: kind = "fatal"; break;
    default: break;
  }
  QByteArray line = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toUtf8() + ' ' +
                    kind + ": " + text.toUtf8();
  if (!line.endsWith('\n')) line += '\n';
  // One write per message: lines of two threads do not interleave.
  ssize_t written = write(2, line.constData(), static_cast<size_t>(line.size()));
  (void)written;
  if (type == QtFatalMsg) abort();
}

int OpenProgramLog() {
  std::string dir = GetSupportDir();
  if (MakeDirectories(dir) != 0) return -1;
  std::string path = dir + "/torvane-recovery.log";
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return -1;
  struct stat st;
  // Only a plain file of our own: never a device or someone else's file put there.
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
    close(fd);
    return -1;
  }
  return fd;
}

int DeleteTmpFile(const char* pDir) {
  if (!pDir || !*pDir) return 0;
  int fd = open(pDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_uid != geteuid()) {
    close(fd);
    return 0;
  }
  int listFd = dup(fd);
  DIR* dir = listFd >= 0 ? fdopendir(listFd) : nullptr;
  if (!dir) {
    if (listFd >= 0) close(listFd);
    close(fd);
    return 0;
  }
  while (dirent* e = readdir(dir)) {
    if (!IsPreviewFileName(e->d_name)) continue;
    struct stat fst;
    // Only our own plain files; a link or folder of that name stays.
    if (fstatat(fd, e->d_name, &fst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(fst.st_mode) && fst.st_uid == geteuid())
      unlinkat(fd, e->d_name, 0);
  }
  closedir(dir);
  close(fd);
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
    } else if (i > 0 && args[i] == QLatin1String("--support-dir") && i + 1 < args.size()) {
      opt.strSupportDir = args[++i];
    } else {
      rest << args[i];
    }
  }
  opt.eRole = rest.size() == 2 ? ROLE_PRIVILEGED : ROLE_LAUNCHER;
  return opt;
}

QStringList BuildElevationArguments(const QString& exePath, const QStringList& images, const QString& supportDir) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  QStringList args;
  args << QStringLiteral("env");
  QString xauth = env.value(QStringLiteral("XAUTHORITY"));
  if (xauth.isEmpty() && env.contains(QStringLiteral("HOME")))
    xauth = env.value(QStringLiteral("HOME")) + QStringLiteral("/.Xauthority");
  if (env.contains(QStringLiteral("DISPLAY"))) args << QStringLiteral("DISPLAY=") + env.value(QStringLiteral("DISPLAY"));
  if (!xauth.isEmpty()) args << QStringLiteral("XAUTHORITY=") + xauth;
  for (const char* name : {"WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "LANG", "LC_ALL"}) {
    QString key = QString::fromLatin1(name);
    if (env.contains(key)) args << key + QLatin1Char('=') + env.value(key);
  }
  args << exePath << QStringLiteral("start");
  if (!supportDir.isEmpty()) args << QStringLiteral("--support-dir") << supportDir;
  for (const QString& image : images) args << QStringLiteral("--image") << image;
  return args;
}

QStringList ImagesForElevation(const QStringList& images) {
  QStringList all = images;
  QString disks = QProcessEnvironment::systemEnvironment().value(QStringLiteral("TORVANE_DISKS"));
  if (!disks.isEmpty()) all += disks.split(QLatin1Char(':'), Qt::SkipEmptyParts);
  QStringList out;
  for (const QString& image : all) {
    QByteArray local = image.toLocal8Bit();
    char resolved[PATH_MAX];
    // We are the user here: the kernel's answer to access() is theirs.
    if (!realpath(local.constData(), resolved) || access(resolved, R_OK) != 0) {
      qWarning("not handed to the privileged instance (cannot be read): %s", local.constData());
      continue;
    }
    out << QString::fromLocal8Bit(resolved);
  }
  return out;
}

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

bool UserCanRead(const std::string& path, uid_t uid, gid_t gid) {
  if (path.empty()) return false;
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // The child becomes the user (no supplementary groups of ours) and asks.
    if (setgroups(0, nullptr) != 0 && geteuid() == 0) _exit(2);
    if (setgid(gid) != 0 || setuid(uid) != 0) _exit(2);
    _exit(access(path.c_str(), R_OK) == 0 ? 0 : 1);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int CheckUserFolder(const std::string& dir, uid_t uid) {
  struct stat st;
  if (dir.empty() || dir[0] != '/') return STATUS_INVALID_PARAMETER;
  if (lstat(dir.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode) || st.st_uid != uid || (st.st_mode & 022) != 0) return STATUS_UNSAFE_PATH;
  return 0;
}

QStringList ApplyPrivilegedSettings(START_OPTIONS& opt) {
  QStringList notes;
  uid_t uid = 0;
  gid_t gid = 0;
  if (!GetInvokingUser(uid, gid)) return notes;
  QStringList images;
  for (const QString& image : opt.images) {
    if (UserCanRead(image.toStdString(), uid, gid))
      images << image;
    else
      notes << QStringLiteral("image not opened: its owner's user cannot read it: %1").arg(image);
  }
  opt.images = images;
  if (!opt.strSupportDir.isEmpty()) {
    int st = CheckUserFolder(opt.strSupportDir.toStdString(), uid);
    if (st == 0)
      setenv("TORVANE_SUPPORT_DIR", opt.strSupportDir.toLocal8Bit().constData(), 1);
    else
      notes << QStringLiteral("support folder %1 not used: %2")
                   .arg(opt.strSupportDir, QString::fromStdString(StatusText(st)));
  }
  return notes;
}

QString OpenFolderForUser(const QString& dir) {
  QString where = QStringLiteral("The files are in %1").arg(dir);
  QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
  if (opener.isEmpty())
    return QStringLiteral("No program to open folders was found (xdg-open is not installed). ") + where + '.';
  QString program = opener;
  QStringList args{dir};
  const INVOKING_USER& user = InvokingUser();
  if (geteuid() == 0 && user.bOther) {
    // The file manager runs as the user, with the user's own home.
    struct passwd pw, *res = nullptr;
    char buf[4096];
    if (getpwuid_r(user.uid, &pw, buf, sizeof(buf), &res) != 0 || !res)
      return QStringLiteral("The user who started the program is unknown to the system. ") + where + '.';
    QString runuser = QStandardPaths::findExecutable(QStringLiteral("runuser"));
    QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (!runuser.isEmpty()) {
      program = runuser;
      args = QStringList{QStringLiteral("-u"), QString::fromLocal8Bit(pw.pw_name), QStringLiteral("--"), opener, dir};
    } else if (!setpriv.isEmpty()) {
      program = setpriv;
      args = QStringList{QStringLiteral("--reuid=%1").arg(user.uid), QStringLiteral("--regid=%1").arg(user.gid),
                         QStringLiteral("--init-groups"), QStringLiteral("--"), opener, dir};
    } else {
      return QStringLiteral("The folder cannot be opened as your user (runuser and setpriv are missing). ") + where +
             '.';
    }
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), QString::fromLocal8Bit(pw.pw_dir));
    env.insert(QStringLiteral("USER"), QString::fromLocal8Bit(pw.pw_name));
    env.insert(QStringLiteral("LOGNAME"), QString::fromLocal8Bit(pw.pw_name));
    process.setProcessEnvironment(env);
    process.setProgram(program);
    process.setArguments(args);
    if (!process.startDetached()) return QStringLiteral("The file manager could not be started. ") + where + '.';
    return QString();
  }
  if (!QProcess::startDetached(program, args)) return QStringLiteral("The file manager could not be started. ") + where + '.';
  return QString();
}
