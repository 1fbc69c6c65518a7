// Start-up and the operating-system side of the desktop program: the two
// roles (launcher and privileged instance), how administrator rights are
// obtained, the silent message handler, clean-up of preview files, handing
// recovered files to the user behind the privilege request, and telling
// whether a destination lies on the disk being scanned.
#pragma once

#include <sys/types.h>

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <string>

void customMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& text);

// Removes every entry of pDir whose name contains "tmp."; nonzero when the
// folder could be opened, 0 otherwise. The working directory is restored.
int DeleteTmpFile(const char* pDir);

enum APP_ROLE { ROLE_LAUNCHER = 0, ROLE_PRIVILEGED = 1 };

struct START_OPTIONS {
  APP_ROLE eRole = ROLE_LAUNCHER;
  QStringList images;  // "--image PATH", in order
};

// "--image PATH" pairs are taken out first; then exactly one remaining
// argument besides the program selects the privileged instance.
START_OPTIONS ParseStartArguments(const QStringList& args);

// The arguments for pkexec: env keeps the display (and our own settings) so
// the privileged instance can open its window, then the executable, "start"
// and the images.
QStringList BuildElevationArguments(const QString& exePath, const QStringList& images);

// The user who asked for the rights (pkexec's PKEXEC_UID, sudo's
// SUDO_UID/SUDO_GID); false when we are not root or nobody is known.
bool GetInvokingUser(uid_t& uid, gid_t& gid);
// Gives pPath (and, for a folder, everything below it, without following
// links) to uid/gid. Returns the number of entries changed, -1 on error.
int HandOverToUser(const std::string& path, uid_t uid, gid_t gid);

// The whole-disk device number behind a file-system device number (a
// partition maps to its disk); dev itself when sysfs does not say.
dev_t WholeDiskOf(dev_t dev);
// True when writing into folder destDir could land on the scanned disk or
// image: the same file system as the image file, or the same whole disk as
// the scanned device.
bool IsOnScannedDevice(const std::string& destDir, const std::string& scannedPath);
