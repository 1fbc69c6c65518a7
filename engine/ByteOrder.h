// Bounds-checked little-endian reads of untrusted disk bytes. Fields are
// copied into values, never read through a cast pointer; a read that would
// leave the buffer yields false (or 0 from the Get* forms).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline bool InBounds(size_t size, size_t off, size_t len) {
  return off <= size && len <= size - off;
}

inline bool ReadU8(const uint8_t* buf, size_t size, size_t off, uint8_t& out) {
  if (!buf || !InBounds(size, off, 1)) return false;
  out = buf[off];
  return true;
}
inline bool ReadU16LE(const uint8_t* buf, size_t size, size_t off, uint16_t& out) {
  if (!buf || !InBounds(size, off, 2)) return false;
  out = static_cast<uint16_t>(buf[off] | (buf[off + 1] << 8));
  return true;
}
inline bool ReadU32LE(const uint8_t* buf, size_t size, size_t off, uint32_t& out) {
  if (!buf || !InBounds(size, off, 4)) return false;
  out = static_cast<uint32_t>(buf[off]) | (static_cast<uint32_t>(buf[off + 1]) << 8) |
        (static_cast<uint32_t>(buf[off + 2]) << 16) | (static_cast<uint32_t>(buf[off + 3]) << 24);
  return true;
}
inline bool ReadU64LE(const uint8_t* buf, size_t size, size_t off, uint64_t& out) {
  uint32_t lo, hi;
  if (!ReadU32LE(buf, size, off, lo) || !ReadU32LE(buf, size, off + 4, hi)) return false;
  out = (static_cast<uint64_t>(hi) << 32) | lo;
  return true;
}
inline bool ReadU16BE(const uint8_t* buf, size_t size, size_t off, uint16_t& out) {
  if (!buf || !InBounds(size, off, 2)) return false;
  out = static_cast<uint16_t>((buf[off] << 8) | buf[off + 1]);
  return true;
}
inline bool ReadU32BE(const uint8_t* buf, size_t size, size_t off, uint32_t& out) {
  if (!buf || !InBounds(size, off, 4)) return false;
  out = (static_cast<uint32_t>(buf[off]) << 24) | (static_cast<uint32_t>(buf[off + 1]) << 16) |
        (static_cast<uint32_t>(buf[off + 2]) << 8) | static_cast<uint32_t>(buf[off + 3]);
  return true;
}
inline bool ReadU64BE(const uint8_t* buf, size_t size, size_t off, uint64_t& out) {
  uint32_t hi, lo;
  if (!ReadU32BE(buf, size, off, hi) || !ReadU32BE(buf, size, off + 4, lo)) return false;
  out = (static_cast<uint64_t>(hi) << 32) | lo;
  return true;
}

// Value forms for fields whose absence simply means "not this": 0 when out of bounds.
inline uint8_t GetU8(const uint8_t* buf, size_t size, size_t off) {
  uint8_t v = 0;
  ReadU8(buf, size, off, v);
  return v;
}
inline uint16_t GetU16LE(const uint8_t* buf, size_t size, size_t off) {
  uint16_t v = 0;
  ReadU16LE(buf, size, off, v);
  return v;
}
inline uint32_t GetU32LE(const uint8_t* buf, size_t size, size_t off) {
  uint32_t v = 0;
  ReadU32LE(buf, size, off, v);
  return v;
}
inline uint64_t GetU64LE(const uint8_t* buf, size_t size, size_t off) {
  uint64_t v = 0;
  ReadU64LE(buf, size, off, v);
  return v;
}
inline uint16_t GetU16BE(const uint8_t* buf, size_t size, size_t off) {
  uint16_t v = 0;
  ReadU16BE(buf, size, off, v);
  return v;
}
inline uint32_t GetU32BE(const uint8_t* buf, size_t size, size_t off) {
  uint32_t v = 0;
  ReadU32BE(buf, size, off, v);
  return v;
}
inline uint64_t GetU64BE(const uint8_t* buf, size_t size, size_t off) {
  uint64_t v = 0;
  ReadU64BE(buf, size, off, v);
  return v;
}
// True when the bytes at off equal the given pattern (false when out of bounds).
inline bool BytesEqual(const uint8_t* buf, size_t size, size_t off, const void* pattern, size_t len) {
  return buf && InBounds(size, off, len) && std::memcmp(buf + off, pattern, len) == 0;
}
