#include "memory.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "error.hpp"

namespace tarvex {
namespace {

constexpr unsigned __int128 kUnlimited = ~static_cast<unsigned __int128>(0);

// Reads one unsigned number; false for a missing file or a text such as "max".
bool read_number(const std::string& file, unsigned long long& value) noexcept {
  std::FILE* in = std::fopen(file.c_str(), "r");
  if (in == nullptr) return false;
  const bool read = std::fscanf(in, "%llu", &value) == 1;
  std::fclose(in);
  return read;
}

// The memory cgroup directories that bound this process: its own (v2, from
// /proc/self/cgroup) and the mount roots (v2, else v1), where the files of a
// container's own cgroup usually appear.
std::vector<std::pair<std::string, std::string>> cgroup_files() {
  std::vector<std::pair<std::string, std::string>> files;  // limit, usage
  try {
    std::ifstream self("/proc/self/cgroup");
    for (std::string line; std::getline(self, line);)
      if (line.rfind("0::", 0) == 0 && line.size() > 4) {
        const std::string dir = "/sys/fs/cgroup" + line.substr(3);
        files.emplace_back(dir + "/memory.max", dir + "/memory.current");
      }
  } catch (...) {
  }
  files.emplace_back("/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory.current");
  files.emplace_back("/sys/fs/cgroup/memory/memory.limit_in_bytes",
                     "/sys/fs/cgroup/memory/memory.usage_in_bytes");
  return files;
}

// The lowest cgroup limit, and the headroom under it.
struct CgroupBound {
  unsigned __int128 limit = kUnlimited;
  unsigned __int128 headroom = kUnlimited;
};

CgroupBound cgroup_bound() noexcept {
  CgroupBound bound;
  try {
    for (const auto& [limit_file, usage_file] : cgroup_files()) {
      unsigned long long limit = 0, used = 0;
      if (!read_number(limit_file, limit) || limit == 0) continue;
      bound.limit = std::min<unsigned __int128>(bound.limit, limit);
      if (read_number(usage_file, used))
        bound.headroom = std::min<unsigned __int128>(bound.headroom, limit > used ? limit - used : 0);
    }
  } catch (...) {
  }
  return bound;
}

std::uint64_t clamp64(unsigned __int128 v) noexcept {
  return static_cast<std::uint64_t>(std::min<unsigned __int128>(v, ~std::uint64_t{0}));
}

std::string decimal(unsigned __int128 value) {
  std::string digits;
  do {
    digits.push_back(static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  return std::string(digits.rbegin(), digits.rend());
}

}  // namespace

std::uint64_t process_memory_limit() noexcept {
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return 0;
  const auto physical = static_cast<unsigned __int128>(pages) * static_cast<unsigned long>(page);
  return clamp64(std::min(physical, cgroup_bound().limit));
}

std::uint64_t available_memory() noexcept {
  unsigned __int128 available = kUnlimited;
  const long pages = sysconf(_SC_AVPHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  try {
    // The kernel's estimate counts reclaimable page cache; free pages do not.
    std::ifstream meminfo("/proc/meminfo");
    for (std::string key; meminfo >> key;) {
      unsigned long long kib = 0;
      meminfo >> kib;
      if (key == "MemAvailable:") {
        available = static_cast<unsigned __int128>(kib) * 1024;
        break;
      }
      meminfo.ignore(64, '\n');
    }
  } catch (...) {
  }
  if (available == kUnlimited && pages > 0 && page > 0)
    available = static_cast<unsigned __int128>(pages) * static_cast<unsigned long>(page);
  available = std::min(available, cgroup_bound().headroom);
  return available == kUnlimited ? 0 : clamp64(available);
}

void memory_shortfall(unsigned __int128 bytes, std::string_view what) {
  throw MemoryShortfall(std::string(what) + " needs " + decimal(bytes) + " bytes; " +
                        decimal(process_memory_limit()) + " are available");
}

void require_memory(unsigned __int128 bytes, std::string_view what) {
  const std::uint64_t limit = process_memory_limit();
  if (limit != 0 && bytes > limit) memory_shortfall(bytes, what);
}

}  // namespace tarvex
