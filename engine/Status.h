// Every status code an operation can return, and the words a user sees for
// each. Plain ints, never exceptions: 0 is success, a positive value is an
// errno passed on from a failed system call (or one of the three historical
// engine codes below, which share numbers with errno values), a negative
// value is one of ours.
#pragma once

#include <string>

enum : int {
  STATUS_SUCCESS = 0,
  STATUS_OUT_OF_MEMORY = 8,
  STATUS_CLUSTER_TOO_BIG = 29,
  STATUS_SHORT_READ = 30,
  STATUS_INVALID_PARAMETER = 87,

  // Saved, but fewer bytes than the file's size, or with unreadable parts
  // written as zeros: the file is kept and called partial, never good.
  STATUS_PARTIAL_SAVE = -201,
  // The destination (or report, or support folder) lies where writing would
  // change the disk being scanned.
  STATUS_DEST_ON_TARGET = -202,
  // A link, or a folder owned by another user, stands where we would write.
  STATUS_UNSAFE_PATH = -203,
  // The engine cannot do this for this kind of result.
  STATUS_NOT_SUPPORTED = -204,
  // A sink that wanted only the start of a file has all it wants.
  STATUS_SINK_FULL = -205,
  // The target is neither a regular file nor a block device.
  STATUS_NOT_A_DISK = -206,
  // Nothing usable: a file system or scan record that does not hold together.
  STATUS_DAMAGED_RECORD = -207,
  // The target is empty or its size cannot be read.
  STATUS_EMPTY_TARGET = -208,

  // Not saved again: a file with the same content is already there.
  STATUS_SKIPPED_SAME = -209,

  RECOVERY_CANCELLED = -9527,
};

// A short lower-case phrase for a status ("no space left on device",
// "stopped by the user"); never a bare number for the codes above or errno.
std::string StatusText(int nStatus);
