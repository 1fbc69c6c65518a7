// Writing as root where other users can write too: every folder and file we
// create below a destination is made relative to an open folder descriptor,
// never through a symbolic link, only inside folders that we or the user who
// started us own, and handed to that user with private modes.
#pragma once

#include <sys/types.h>

#include <string>

// The user on whose behalf we run: SUDO_UID/SUDO_GID or PKEXEC_UID when we
// are root and one is set, else ourselves.
struct INVOKING_USER {
  uid_t uid;
  gid_t gid;
  bool bOther;  // true when that user is not the effective user
};
const INVOKING_USER& InvokingUser();
// Tests and the window's relaunch set this explicitly.
void SetInvokingUser(uid_t uid, gid_t gid);

// An open folder; closes itself.
class CDirFd {
 public:
  CDirFd() : m_nFd(-1) {}
  explicit CDirFd(int fd) : m_nFd(fd) {}
  ~CDirFd();
  CDirFd(CDirFd&& o) noexcept : m_nFd(o.m_nFd) { o.m_nFd = -1; }
  CDirFd& operator=(CDirFd&& o) noexcept;
  CDirFd(const CDirFd&) = delete;
  CDirFd& operator=(const CDirFd&) = delete;
  int Get() const { return m_nFd; }
  bool IsOpen() const { return m_nFd >= 0; }
  void Reset(int fd = -1);

 private:
  int m_nFd;
};

// Opens (creating it and its missing parents, mode 0700 and handed to the
// invoking user) the folder the user named. The parts of the path that exist
// are the user's choice and are followed; what we create is created beneath
// the last existing part without following links. 0 or a status.
int OpenDestinationRoot(const std::string& path, CDirFd& out);
// Opens the sub-folder name of parent, creating it when bCreate. Refuses
// (STATUS_UNSAFE_PATH) a link or anything not a folder at the name, and a
// folder owned by someone other than us or the invoking user.
int OpenSubFolder(int parentFd, const std::string& name, bool bCreate, CDirFd& out);
// Opens parentFd's sub-folders along a relative path ("a/b/c"), each as OpenSubFolder.
int OpenSubPath(int parentFd, const std::string& relative, bool bCreate, CDirFd& out);

// Creates a new file in dirFd: name, or the first free "base(N).ext" when
// name is taken (by anything, a link included). Never opens an existing file.
// Mode 0600, handed to the invoking user. The file descriptor, or -1 with
// *pStatus set; *pFinalName gets the name used.
int CreateNewFile(int dirFd, const std::string& name, std::string* pFinalName, int* pStatus);
// The name after "name" in the free-name sequence: "a.jpg" -> "a(1).jpg" -> "a(2).jpg".
std::string NumberedName(const std::string& name, int n);

// Writes a whole file by way of a temporary file in the same folder and a
// rename over the target: a reader sees the old file or the new one, never
// half of one, and a link at the target is replaced, not followed. 0 or a status.
int WriteFileAtomically(const std::string& path, const std::string& content);
// The same written a piece at a time: Open, Write as often as needed, then
// Commit renames it into place; dropped without Commit, nothing appears.
class CAtomicFile {
 public:
  CAtomicFile() = default;
  ~CAtomicFile();
  CAtomicFile(const CAtomicFile&) = delete;
  CAtomicFile& operator=(const CAtomicFile&) = delete;
  int Open(const std::string& path);
  // The first failure sticks: later writes do nothing and Commit returns it.
  int Write(const std::string& data);
  int Commit();

 private:
  void Drop();
  int m_nDirFd = -1, m_nFd = -1;
  int m_nStatus = 0;
  std::string m_strTemp, m_strBase;
};
// Checks that a file can be written at path before the work that fills it
// starts (its folder exists and is writable, the name is not a folder).
int CheckWritableFilePath(const std::string& path);

// Hands a file or folder we created to the invoking user.
void HandToInvokingUser(int fd);
