#include "memory.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "error.hpp"

namespace tarvex {
namespace {

// A cgroup memory limit (v2, else v1) on the process, when one is set.
unsigned __int128 cgroup_memory_limit() noexcept {
  for (const char* file : {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
    if (std::FILE* in = std::fopen(file, "r")) {
      unsigned long long limit = 0;
      const bool read = std::fscanf(in, "%llu", &limit) == 1;  // "max" reads as nothing
      std::fclose(in);
      if (read && limit > 0) return limit;
    }
  }
  return ~static_cast<unsigned __int128>(0);
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
  return static_cast<std::uint64_t>(
      std::min<unsigned __int128>(std::min(physical, cgroup_memory_limit()), ~std::uint64_t{0}));
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
