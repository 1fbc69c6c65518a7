#include "engine/BadSectorMap.h"

#include <errno.h>

#include <cinttypes>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "engine/SafeFs.h"

void CBadSectorMap::Add(u64 u64First, u64 u64Count) {
  if (u64Count == 0) return;
  u64 first = u64First;
  u64 end = u64First + u64Count < u64First ? UINT64_MAX : u64First + u64Count;
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_ranges.upper_bound(first);
  if (it != m_ranges.begin()) {
    auto prev = std::prev(it);
    if (prev->second >= first) {
      first = prev->first;
      if (prev->second > end) end = prev->second;
      it = m_ranges.erase(prev);
    }
  }
  while (it != m_ranges.end() && it->first <= end) {
    if (it->second > end) end = it->second;
    it = m_ranges.erase(it);
  }
  m_ranges[first] = end;
}

bool CBadSectorMap::Contains(u64 u64Sector) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_ranges.upper_bound(u64Sector);
  if (it == m_ranges.begin()) return false;
  --it;
  return u64Sector < it->second;
}

u64 CBadSectorMap::NextBad(u64 u64From) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_ranges.upper_bound(u64From);
  if (it != m_ranges.begin()) {
    auto prev = std::prev(it);
    if (u64From < prev->second) return u64From;
  }
  return it == m_ranges.end() ? UINT64_MAX : it->first;
}

u64 CBadSectorMap::Count() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  u64 n = 0;
  for (const auto& r : m_ranges) n += r.second - r.first;
  return n;
}

std::vector<SECTOR_RANGE> CBadSectorMap::Ranges() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<SECTOR_RANGE> out;
  for (const auto& r : m_ranges) out.push_back({r.first, r.second - r.first});
  return out;
}

void CBadSectorMap::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_ranges.clear();
}

int CBadSectorMap::Save(const std::string& path) const {
  std::string text;
  for (const SECTOR_RANGE& r : Ranges()) text += std::to_string(r.u64First) + " " + std::to_string(r.u64Count) + "\n";
  return WriteFileAtomically(path, text);
}

int CBadSectorMap::Load(const std::string& path) {
  std::ifstream f(path);
  if (!f) return errno ? errno : ENOENT;
  std::string line;
  // A damaged file gives what it holds in whole lines, up to a bound.
  for (int n = 0; n < 10000000 && std::getline(f, line); ++n) {
    unsigned long long first = 0, count = 0;
    if (std::sscanf(line.c_str(), "%llu %llu", &first, &count) == 2) Add(first, count);
  }
  return 0;
}

int CBadSectorMap::LoadDdrescueMap(const std::string& path) {
  std::ifstream f(path);
  if (!f) return errno ? errno : ENOENT;
  std::stringstream ss;
  ss << f.rdbuf();
  DDRESCUE_MAP map;
  if (!ParseDdrescueMap(ss.str(), map)) return STATUS_DAMAGED_RECORD;
  for (const DDRESCUE_AREA& a : map.areas) {
    if (a.cStatus == '+' || a.u64Size == 0) continue;
    u64 first = a.u64Pos / SECTOR_SIZE;
    u64 end = (a.u64Pos + a.u64Size + SECTOR_SIZE - 1) / SECTOR_SIZE;
    Add(first, end - first);
  }
  return 0;
}

namespace {
bool ParseNumber(const std::string& word, u64& out) {
  if (word.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(word.c_str(), &end, 0);  // "0x..." or decimal
  if (errno != 0 || !end || *end != 0) return false;
  out = v;
  return true;
}
}  // namespace

bool ParseDdrescueMap(const std::string& text, DDRESCUE_MAP& out) {
  out = DDRESCUE_MAP();
  std::istringstream in(text);
  std::string line;
  bool haveStatus = false;
  while (std::getline(in, line)) {
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string a, b, c;
    if (!(words >> a)) continue;
    words >> b >> c;
    if (!haveStatus) {
      // current_pos current_status [current_pass]
      if (!ParseNumber(a, out.u64CurrentPos) || b.size() != 1) return false;
      out.cCurrentStatus = b[0];
      u64 pass = 1;
      if (!c.empty() && ParseNumber(c, pass)) out.nCurrentPass = static_cast<int>(pass);
      haveStatus = true;
      continue;
    }
    DDRESCUE_AREA area;
    if (!ParseNumber(a, area.u64Pos) || !ParseNumber(b, area.u64Size) || c.size() != 1) return false;
    area.cStatus = c[0];
    if (std::string("?*/-+").find(area.cStatus) == std::string::npos) return false;
    if (!out.areas.empty()) {
      const DDRESCUE_AREA& prev = out.areas.back();
      if (area.u64Pos < prev.u64Pos + prev.u64Size) return false;
    }
    out.areas.push_back(area);
    if (out.areas.size() > 10000000) return false;
  }
  return haveStatus;
}

std::string FormatDdrescueMap(const DDRESCUE_MAP& map, const std::string& commandLine) {
  std::string s = "# Mapfile. Created by Torvane Recovery\n# Command line: " + commandLine + "\n";
  char buf[96];
  s += "# current_pos  current_status  current_pass\n";
  std::snprintf(buf, sizeof(buf), "0x%08" PRIX64 "     %c               %d\n", map.u64CurrentPos, map.cCurrentStatus,
                map.nCurrentPass);
  s += buf;
  s += "#      pos        size  status\n";
  for (const DDRESCUE_AREA& a : map.areas) {
    std::snprintf(buf, sizeof(buf), "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", a.u64Pos, a.u64Size, a.cStatus);
    s += buf;
  }
  return s;
}

void SetDdrescueArea(DDRESCUE_MAP& map, u64 u64Pos, u64 u64Size, char cStatus) {
  if (u64Size == 0) return;
  const u64 end = u64Pos + u64Size;
  std::vector<DDRESCUE_AREA> out;
  out.reserve(map.areas.size() + 2);
  bool placed = false;
  auto push = [&out](const DDRESCUE_AREA& a) {
    if (a.u64Size == 0) return;
    if (!out.empty() && out.back().cStatus == a.cStatus && out.back().u64Pos + out.back().u64Size == a.u64Pos)
      out.back().u64Size += a.u64Size;
    else
      out.push_back(a);
  };
  for (const DDRESCUE_AREA& a : map.areas) {
    u64 aEnd = a.u64Pos + a.u64Size;
    if (aEnd <= u64Pos || a.u64Pos >= end) {
      if (!placed && a.u64Pos >= end) {
        push({u64Pos, u64Size, cStatus});
        placed = true;
      }
      push(a);
      continue;
    }
    if (a.u64Pos < u64Pos) push({a.u64Pos, u64Pos - a.u64Pos, a.cStatus});
    if (!placed) {
      push({u64Pos, u64Size, cStatus});
      placed = true;
    }
    if (aEnd > end) push({end, aEnd - end, a.cStatus});
  }
  if (!placed) {
    // Past the map's end: what lies between is not tried.
    u64 mapEnd = map.areas.empty() ? 0 : map.areas.back().u64Pos + map.areas.back().u64Size;
    if (u64Pos > mapEnd) push({mapEnd, u64Pos - mapEnd, '?'});
    push({u64Pos, u64Size, cStatus});
  }
  map.areas.swap(out);
}
