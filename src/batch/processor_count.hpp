// How many worker threads the pool gets: the two environment variables, else
// the processors this process may use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zorv::batch {

inline constexpr std::size_t max_thread_count = 65535;

// An optional single "+" then one or more decimal digits, nothing else, no
// overflow of 64 bits; anything else is not a number.
std::optional<std::uint64_t> parse_unsigned(std::string_view text);

// The thread count from the values of "RAYON_NUM_THREADS" and
// "RAYON_RS_NUM_CPUS" (nullopt: unset). `processor_count` is called only when
// neither variable decides. Capped at max_thread_count.
std::size_t choose_thread_count(std::optional<std::string_view> num_threads,
                                std::optional<std::string_view> rs_num_cpus,
                                std::size_t (*processor_count)());

// choose_thread_count with the process environment and processor_count().
std::size_t thread_count_from_environment();

// The control-group CPU limit, read below `root` ("" for the real file
// system: root + "/proc/self/cgroup" and so on), capped at `logical_count`.
// nullopt when the control group sets no limit or cannot be read.
std::optional<std::size_t> cgroup_cpu_limit(const std::string& root, std::size_t logical_count);

// Processors in the calling thread's affinity mask, else the online
// processors; at least 1.
std::size_t logical_processor_count();

// The control-group limit (worked out on the first call and kept), else the
// logical processor count.
std::size_t processor_count();

}  // namespace zorv::batch
