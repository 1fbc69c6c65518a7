// Wall clock and peak memory, as every benchmark prints them.
#pragma once

#include <sys/resource.h>
#include <sys/time.h>

inline double NowSeconds() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

inline long PeakRssKb() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}
