// How many worker threads the pool gets: the two environment variables, else
// the processors this process may use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/shared_api.hpp"

namespace zorv::pool {

inline constexpr std::size_t max_thread_count = 65535;

// The environment variables that set the thread count, in the order they are
// read. These names are part of the module's interface: callers'
// environments and stored logs use them, so they are never renamed.
inline constexpr const char* thread_count_variable = "RAYON_NUM_THREADS";
inline constexpr const char* cpu_count_variable = "RAYON_RS_NUM_CPUS";

// An optional single "+" then one or more decimal digits, nothing else, no
// overflow of 64 bits; anything else is not a number.
std::optional<std::uint64_t> parse_unsigned(std::string_view text);

// What the environment asks of the thread count: the variable that decides
// it (nullptr: neither does) and the count it asks for (nullopt: the
// processor count, also what a valid "RAYON_NUM_THREADS" of 0 asks for).
struct ThreadCountRequest {
    const char* variable;
    std::optional<std::uint64_t> count;
};

// The request made by the values of "RAYON_NUM_THREADS" and
// "RAYON_RS_NUM_CPUS" (nullopt: unset); choose_thread_count follows it.
ThreadCountRequest thread_count_request(std::optional<std::string_view> num_threads,
                                        std::optional<std::string_view> rs_num_cpus);

// The thread count from the values of "RAYON_NUM_THREADS" and
// "RAYON_RS_NUM_CPUS" (nullopt: unset). `processor_count` is called only when
// neither variable decides. Capped at max_thread_count.
std::size_t choose_thread_count(std::optional<std::string_view> num_threads,
                                std::optional<std::string_view> rs_num_cpus,
                                std::size_t (*processor_count)());

// choose_thread_count with the process environment and processor_count().
std::size_t thread_count_from_environment();

// Where processor_count() takes its number from.
enum class ProcessorCountSource { cgroup_quota, affinity_mask, online_processors };

// thread_count_from_environment() and how it came about: the request of the
// process environment, and where the processors were counted when the
// request leaves the count to them. For reports; the pool does not use it.
struct ThreadCountOrigin {
    std::size_t count;
    ThreadCountRequest request;
    std::optional<ProcessorCountSource> processors;
};
ZORV_SHARED_API ThreadCountOrigin thread_count_origin_from_environment();

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

// Where processor_count() takes its number from now.
ProcessorCountSource processor_count_source();

}  // namespace zorv::pool
