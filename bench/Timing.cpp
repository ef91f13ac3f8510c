// Timing and printing helpers shared by pvbench's parts.
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "bench/Bench.h"

namespace bench {

volatile uint32_t Sink;

const char* const GroupNames[GroupCount] = {"ascii-mode", "binary-mode", "all"};

std::string Join(std::initializer_list<std::string_view> parts) {
  std::string s;
  for (std::string_view part : parts) s += part;
  return s;
}

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double ThreadCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

namespace {

Sample Summarize(std::vector<double> t) {
  std::sort(t.begin(), t.end());
  size_t n = t.size();
  double median = n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2;
  return {median, t.front(), t.back()};
}

}  // namespace

Sample Rounds::Wall(size_t contender) const { return Summarize(wall_[contender]); }
Sample Rounds::Cpu(size_t contender) const { return Summarize(cpu_[contender]); }

std::string Rate(uint64_t bytes, const Sample& s) {
  if (bytes == 0) return "-";
  char text[64];
  std::snprintf(text, sizeof text, "%7.1f (%5.1f-%5.1f)", double(bytes) / MB / s.median,
                double(bytes) / MB / s.max, double(bytes) / MB / s.min);
  return text;
}

std::string Comparison(double ours, double theirs) {
  char text[64];
  if (ours >= theirs)
    std::snprintf(text, sizeof text, "faster by %.0f%%", (ours / theirs - 1) * 100);
  else
    std::snprintf(text, sizeof text, "slower by %.0f%%", (1 - ours / theirs) * 100);
  return text;
}

std::string CpuName() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  return "unknown CPU";
}

std::string LoadAverage() {
  double load[3];
  if (getloadavg(load, 3) != 3) return "unknown";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
  return text;
}

void GroupItems(const std::vector<Item>& items, Groups& members) {
  for (int g = 0; g < GroupCount; ++g) {
    members[g].clear();
    for (const Item& item : items)
      if (g == AllGroup || item.asciiMode == (g == AsciiGroup)) members[g].push_back(&item);
  }
}

uint64_t Total(const std::vector<const Item*>& members, Bytes Item::*field) {
  uint64_t total = 0;
  for (const Item* item : members) total += (item->*field).size();
  return total;
}

}  // namespace bench
