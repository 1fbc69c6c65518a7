// Start-up and the operating-system side of the desktop program: the two
// roles (the launcher a user starts, and the privileged instance pkexec
// starts), what passes from one to the other and how it is checked, the
// program's log, clean-up of our own preview files, and opening the folder
// of recovered files as the user who asked for them.
#pragma once

#include <sys/types.h>

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <string>

// Writes Qt's messages (warnings included) with a time to the log.
void customMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& text);
// Opens the program's log, torvane-recovery.log in the support folder:
// appended to, never truncated, never through a link, private (0600). The
// descriptor, or -1.
int OpenProgramLog();

// Removes the preview files we make ("tmp.<ext>", nothing else) from pDir,
// a folder of ours: it is opened without following links and left alone when
// it belongs to someone else. Nonzero when the folder could be opened.
int DeleteTmpFile(const char* pDir);

enum APP_ROLE { ROLE_LAUNCHER = 0, ROLE_PRIVILEGED = 1 };

struct START_OPTIONS {
  APP_ROLE eRole = ROLE_LAUNCHER;
  QStringList images;   // "--image PATH", in order
  QString strSupportDir;  // "--support-dir PATH": the user's own support folder
};

// "--image PATH" and "--support-dir PATH" pairs are taken out first; then
// exactly one remaining argument besides the program selects the
// privileged instance.
START_OPTIONS ParseStartArguments(const QStringList& args);

// The arguments for pkexec: env with only what the privileged instance
// needs to open its window (the display, its authority, the runtime folder,
// the language), then the executable, "start", the support folder and the
// images. Nothing else of the user's environment passes.
QStringList BuildElevationArguments(const QString& exePath, const QStringList& images, const QString& supportDir);
// What the launcher hands over of a user's settings: the images (and the
// TORVANE_DISKS entries) the user can read, as absolute paths.
QStringList ImagesForElevation(const QStringList& images);

// The user who asked for the rights (pkexec's PKEXEC_UID, sudo's
// SUDO_UID/SUDO_GID); false when we are not root or nobody is known.
bool GetInvokingUser(uid_t& uid, gid_t& gid);
// True when uid/gid may read path (checked in a child process that becomes
// that user, so the answer is the kernel's own).
bool UserCanRead(const std::string& path, uid_t uid, gid_t gid);
// 0 when dir is a folder (not a link) owned by uid and writable by nobody
// else, so the privileged instance may keep its files there; else why not.
int CheckUserFolder(const std::string& dir, uid_t uid);
// Applies the checked settings in the privileged instance: drops images the
// invoking user cannot read and a support folder that is not the user's own.
// Returns the messages for the log.
QStringList ApplyPrivilegedSettings(START_OPTIONS& opt);

// Opens a folder in the desktop's file manager (xdg-open), as the invoking
// user when we run as root for someone else. Empty when it started, else
// what to tell the user.
QString OpenFolderForUser(const QString& dir);
