// The one writer of recovered files: every save, preview and folder-tree save
// of every engine goes through here. Engines supply the bytes
// (IFileRecoveryParse::CopyFileData); this file creates the file safely,
// writes it, counts what arrived against what the result claims and removes
// what it wrote when a save fails or is cancelled.
#pragma once

#include <string>
#include <vector>

#include "engine/DiskReader.h"
#include "engine/IFileRecoveryParse.h"
#include "engine/RecoverySink.h"
#include "engine/SafeFs.h"

struct BYTE_RANGE {
  u64 u64Offset;
  u64 u64Length;
};

// What one save did.
struct SAVE_RESULT {
  int nStatus = 0;                    // 0, STATUS_PARTIAL_SAVE, or why it failed
  std::string strName;                // the file's name in its folder (free name taken)
  u64 u64Written = 0;                 // bytes in the saved file
  u64 u64Expected = 0;                // bytes the result claims
  std::vector<BYTE_RANGE> unreadable; // parts written as zeros because the disk could not give them
};

// Totals of a run of saves.
struct SAVE_SUMMARY {
  u64 nSaved = 0;
  u64 nPartial = 0;
  u64 nFailed = 0;
  u64 nSkipped = 0;  // already saved with the same content
  int nFirstFailure = 0;
  void Add(int nStatus);
};

// A new file in a folder, fed by an engine.
class CRecoveredFile : public IRecoverySink {
 public:
  // pCallback gets (progress, 100, 0) while writing and (100, 100, status) at
  // the end; a non-zero answer stops the copy and is returned.
  CRecoveredFile(u64 u64Expected, RECOVERY_CALLBACK pCallback, void* param, const std::wstring& label);
  ~CRecoveredFile() override;
  CRecoveredFile(const CRecoveredFile&) = delete;
  CRecoveredFile& operator=(const CRecoveredFile&) = delete;

  // Creates name, or the next free numbered name, in dirFd. 0 or a status.
  int Create(int dirFd, const std::string& name);
  int Write(const unsigned char* p, size_t n) override;
  int WriteZeros(u64 n) override;
  int WriteUnreadable(u64 n) override;
  u64 Wanted() const override { return m_u64Expected > m_u64Written ? m_u64Expected - m_u64Written : 0; }
  // The modification time the kept file gets (seconds since 1970; 0 leaves the time of the save).
  void SetModifiedTime(i64 tSeconds) { m_tModified = tSeconds; }

  // Ends the save after the engine's copy returned nCopyStatus: keeps a
  // whole file (0) or a partial one (STATUS_PARTIAL_SAVE), removes anything
  // else. Returns the status it put in out.
  int Finish(int nCopyStatus, SAVE_RESULT& out);

 private:
  int Progress();
  int WriteRaw(const unsigned char* p, size_t n);
  void Remove();
  u64 UnreadableBytes() const;

  int m_nFd;
  int m_nDirFd;
  std::string m_strName;
  u64 m_u64Expected;
  u64 m_u64Written;
  int m_nWriteError;
  int m_nLastPercent;
  RECOVERY_CALLBACK m_pCallback;
  void* m_pParam;
  std::wstring m_label;
  std::vector<BYTE_RANGE> m_unreadable;
  i64 m_tModified = 0;
};

// Collects up to a given number of bytes in memory (previews of non-pictures).
class CMemorySink : public IRecoverySink {
 public:
  CMemorySink(unsigned char* pBuf, size_t nRoom) : m_pBuf(pBuf), m_nRoom(pBuf ? nRoom : 0), m_nUsed(0) {}
  int Write(const unsigned char* p, size_t n) override;
  int WriteZeros(u64 n) override;
  int WriteUnreadable(u64 n) override { return WriteZeros(n); }
  u64 Wanted() const override { return m_nRoom - m_nUsed; }
  size_t Used() const { return m_nUsed; }

 private:
  unsigned char* m_pBuf;
  size_t m_nRoom;
  size_t m_nUsed;
};

// Reads bytes starting at an absolute sector and hands them to the sink. A
// failed read is tried again sector by sector, so every readable sector
// arrives and each unreadable one goes to the sink as such. Stops when the
// sink wants no more. 0, STATUS_SHORT_READ when the range ends before the
// bytes do, or the sink's answer.
int CopySectorsToSink(CDiskReader& reader, u64 u64FirstSector, u64 u64Bytes, int nSectorSize, IRecoverySink& sink);

// Saves one file of an engine into dirFd under name (or the next free
// name). Folders are not files: see SaveFolderTree. tModified (seconds
// since 1970, 0: none) becomes the saved file's modification time.
int SaveNodeInto(IFileRecoveryParse& engine, _FILE_NODE_& node, int dirFd, const std::string& name,
                 RECOVERY_CALLBACK pCallback, void* param, SAVE_RESULT& out, i64 tModified = 0);

// Saves a found folder and everything below it as the folder name inside
// parentFd, breadth first, each folder once however its metadata loops.
// nChildLevel is the level under which the folder's children are filed.
int SaveFolderTree(IFileRecoveryParse& engine, const _FILE_NODE_& folder, u32 nChildLevel, int parentFd,
                   const std::string& name, RECOVERY_CALLBACK pCallback, void* param, SAVE_SUMMARY* pSummary);

// The engine interface's SaveFileData: a file to the path's folder under its
// last name (a free one when taken), a folder as a tree. nRootDirIndex is
// the depth of the chosen destination, which tells a folder's level.
int SaveNodeToPath(IFileRecoveryParse& engine, _FILE_NODE_* pNode, const wchar_t* pTargetPath, int nRootDirIndex,
                   RECOVERY_CALLBACK pCallback, void* param);

// The engine interface's PreView: pictures into a private "tmp.<ext>" file of
// the scan-log folder (its path in pTempPath), anything else as its first
// nLen bytes into pBuf (nLen set to what arrived).
int PreviewNode(IFileRecoveryParse& engine, _FILE_NODE_* pNode, wchar_t* pTempPath, unsigned char* pBuf, int& nLen,
                PREVIEW_CALLBACK pCallback, void* param);
