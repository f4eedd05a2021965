// How much memory the process may use, for budgets and for refusing early
// what cannot fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarvex {

// Physical memory, or a cgroup's memory limit when that is lower; 0 when
// neither can be read.
std::uint64_t process_memory_limit() noexcept;

// What the process can still allocate now: the kernel's estimate of available
// memory, limited by a cgroup's headroom; 0 when neither can be read.
std::uint64_t available_memory() noexcept;

// Throws MemoryShortfall, "<what> needs N bytes; M are available", when
// `bytes` exceed process_memory_limit().
void require_memory(unsigned __int128 bytes, std::string_view what);
// The same text for an allocation that already failed.
[[noreturn]] void memory_shortfall(unsigned __int128 bytes, std::string_view what);

}  // namespace tarvex
