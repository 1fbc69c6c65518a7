// Text, name and time helpers shared by the engines and the windows. Narrow
// text is UTF-8 throughout; wide text is UTF-32 (wchar_t).
#pragma once

#include <string>

#include "engine/Types.h"

// Conversions. The narrow code set is UTF-8; inner_initUnicodeMap keeps the
// converter handles so start-up can report a missing converter.
int inner_initUnicodeMap(const char* pCodeSet);
long inner_uni2str(char* pDst, const wchar_t* pSrc, long nDstLen, long nSrcLen);
long inner_str2uni(wchar_t* pDst, const char* pSrc, long nDstLen, long nSrcLen);
int Unicode2Ansi(const wchar_t* pSrc, char* pDst, int nDstLen);
std::string Unicode2Ansi(const wchar_t* pSrc);
int Ansi2Unicode(const char* pSrc, wchar_t* pDst, int nDstLen);
std::wstring Ansi2Unicode(const char* pSrc);

std::string WideToUtf8(const wchar_t* pSrc);
std::string WideToUtf8(const std::wstring& s);
std::wstring Utf8ToWide(const char* pSrc);
std::wstring Utf8ToWide(const std::string& s);
// UTF-16LE code units (as found on disk) to UTF-8; stops at the first 0 unit.
// Lone surrogates become U+FFFD.
std::string Utf16ToUtf8(const u16* pUnits, size_t nCount);
std::string Utf16LEBytesToUtf8(const u8* pBytes, size_t nUnits);
// Copies a UTF-8 name into a record's 256-byte name field, cut at a
// character boundary so at most 255 bytes and a terminator are stored.
void CopyNameToField(char (&dst)[256], const std::string& name);

// Makes a name found on a disk safe as one path component: "/" , NUL and
// control characters become "_", "." and ".." are refused (replaced), and
// the result is never empty and at most 255 bytes.
std::string MakeSafePathComponent(const std::string& name);
// The text after a name's last dot in lower case (ASCII); empty without one.
std::string LowerExtension(const std::string& name);

// Text a file says about itself (a title, an artist) made fit to show and
// store: valid UTF-8 only (invalid bytes dropped), control characters
// dropped, runs of white space one space, trimmed, at most nMaxBytes cut at
// a character boundary. Latin1ToUtf8 first for fields declared ISO 8859-1.
std::string CleanMetadataText(const char* p, size_t n, size_t nMaxBytes);
std::string Latin1ToUtf8(const char* p, size_t n);
// Text from metadata made safe inside a file name: cleaned as above, and
// the characters file systems refuse or treat specially (/ \ : * ? " < > |)
// become "_"; no leading dots or spaces, no trailing dots or spaces.
std::string SanitizeFileNameText(const std::string& text, size_t nMaxBytes);

// Names and paths.
int GetExtendName(const char* pName, char* pExt);
void _splitpath(const char* pPath, char* pDrive, char* pDir, char* pFName, char* pExt);
int GetRealFileName(const char* pPath, wchar_t* pOut, int nOutLen);
std::string GetRealFileName(const std::string& path);
int GetPathDirIndex(const wchar_t* pPath, int& nCount);
void EraseStringTailBlankChar(char* pText, int nLen);
char* GetCharLowerA(char* pText);
int Convert2Lowercase(char* pText);
wchar_t* GetCharLowerW(wchar_t* pText);

// Display texts.
std::string GetFileSizeString(i64 nBytes);
std::string GetTimeString(i64 nSeconds);

// Names the local time zone's file in TZ when TZ is unset: the C library then
// reads it once, instead of looking at it again on every local-time
// conversion (a deep scan converts thousands of directory-entry dates).
// For main(), before any thread starts.
void PinLocalTimeZone();
