#include "pool/processor_count.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <vector>

namespace zorv::pool {

std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

ThreadCountRequest thread_count_request(std::optional<std::string_view> num_threads,
                                        std::optional<std::string_view> rs_num_cpus) {
    const auto threads = num_threads ? parse_unsigned(*num_threads) : std::nullopt;
    if (threads) {
        // A valid 0 means "as many as processors" and deliberately shadows
        // the second variable.
        return {thread_count_variable, *threads > 0 ? threads : std::nullopt};
    }
    const auto cpus = rs_num_cpus ? parse_unsigned(*rs_num_cpus) : std::nullopt;
    if (cpus && *cpus > 0) return {cpu_count_variable, cpus};
    return {nullptr, std::nullopt};
}

std::size_t choose_thread_count(std::optional<std::string_view> num_threads,
                                std::optional<std::string_view> rs_num_cpus,
                                std::size_t (*processor_count)()) {
    const ThreadCountRequest request = thread_count_request(num_threads, rs_num_cpus);
    const std::uint64_t count = request.count ? *request.count : processor_count();
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, max_thread_count));
}

namespace {

std::optional<std::string_view> environment_value(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) return std::nullopt;
    return std::move(text).str();
}

// Splits at every separator, keeping empty fields: the files' formats say
// "single blanks", so two blanks in a row are an empty field.
std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> fields;
    for (;;) {
        const std::size_t end = text.find(separator);
        fields.push_back(text.substr(0, end));
        if (end == std::string_view::npos) return fields;
        text.remove_prefix(end + 1);
    }
}

bool has_entry(std::string_view list, std::string_view entry) {
    const auto entries = split(list, ',');
    return std::find(entries.begin(), entries.end(), entry) != entries.end();
}

std::string_view trim(std::string_view text) {
    constexpr std::string_view blanks = " \t\n\r\f\v";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

struct PathParts {
    bool absolute = false;
    std::vector<std::string_view> names;  // without empty and "." names
};

PathParts path_parts(std::string_view path) {
    PathParts parts;
    parts.absolute = !path.empty() && path.front() == '/';
    for (const std::string_view name : split(path, '/')) {
        if (!name.empty() && name != ".") parts.names.push_back(name);
    }
    return parts;
}

// `path` relative to `prefix`, compared name by name ("/a" is a prefix of
// "/a/b" but not of "/ab"); nullopt when `prefix` is not a leading part.
std::optional<std::string> strip_path_prefix(std::string_view path, std::string_view prefix) {
    const PathParts whole = path_parts(path);
    const PathParts leading = path_parts(prefix);
    if (whole.absolute != leading.absolute || leading.names.size() > whole.names.size() ||
        !std::equal(leading.names.begin(), leading.names.end(), whole.names.begin())) {
        return std::nullopt;
    }
    std::string rest;
    for (std::size_t i = leading.names.size(); i < whole.names.size(); ++i) {
        if (!rest.empty()) rest += '/';
        rest += whole.names[i];
    }
    return rest;
}

struct GroupCandidate {
    bool version_2;
    std::string path;
};

std::optional<GroupCandidate> find_cpu_group(std::string_view cgroup_text) {
    std::optional<GroupCandidate> found;
    for (const std::string_view line : split(cgroup_text, '\n')) {
        const std::size_t first_colon = line.find(':');
        if (first_colon == std::string_view::npos) continue;
        const std::size_t second_colon = line.find(':', first_colon + 1);
        if (second_colon == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(first_colon + 1, second_colon - first_colon - 1);
        const std::string_view group_path = line.substr(second_colon + 1);
        if (controllers.empty()) {
            // A hybrid system lists the unified hierarchy too; a cpu
            // controller of version 1 is the one that actually limits.
            if (!found) found = GroupCandidate{true, std::string(group_path)};
        } else if (has_entry(controllers, "cpu")) {
            found = GroupCandidate{false, std::string(group_path)};
        }
    }
    return found;
}

struct Mount {
    std::string root;
    std::string mount_point;
};

std::optional<Mount> find_cgroup_mount(std::string_view mountinfo_text, bool version_2) {
    for (const std::string_view line : split(mountinfo_text, '\n')) {
        const auto fields = split(line, ' ');
        // Optional fields of any number come before the "-" separator, which
        // cannot come before the seventh field.
        const auto separator = std::find(fields.begin() + std::min<std::size_t>(fields.size(), 6), fields.end(), "-");
        const std::size_t after = static_cast<std::size_t>(fields.end() - separator);
        if (after < 2) continue;
        const std::string_view type = separator[1];
        const bool wanted = version_2 ? type == "cgroup2"
                                      : type == "cgroup" && after >= 4 && has_entry(separator[3], "cpu");
        if (wanted) return Mount{std::string(fields[3]), std::string(fields[4])};
    }
    return std::nullopt;
}

struct Quota {
    std::uint64_t quota;
    std::uint64_t period;
};

std::optional<Quota> read_version_2_quota(const std::string& directory) {
    const auto text = read_file(directory + "/cpu.max");
    if (!text) return std::nullopt;
    std::string_view line = std::string_view(*text).substr(0, text->find('\n'));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto fields = split(line, ' ');
    if (fields.size() < 2) return std::nullopt;
    const auto quota = parse_unsigned(fields[0]);
    const auto period = parse_unsigned(fields[1]);
    if (!quota || !period) return std::nullopt;
    return Quota{*quota, *period};
}

std::optional<Quota> read_version_1_quota(const std::string& directory) {
    const auto quota_text = read_file(directory + "/cpu.cfs_quota_us");
    const auto period_text = read_file(directory + "/cpu.cfs_period_us");
    if (!quota_text || !period_text) return std::nullopt;
    const auto quota = parse_unsigned(trim(*quota_text));
    const auto period = parse_unsigned(trim(*period_text));
    if (!quota || !period) return std::nullopt;
    return Quota{*quota, *period};
}

}  // namespace

std::size_t thread_count_from_environment() {
    return choose_thread_count(environment_value(thread_count_variable), environment_value(cpu_count_variable),
                               &processor_count);
}

ThreadCountOrigin thread_count_origin_from_environment() {
    const auto num_threads = environment_value(thread_count_variable);
    const auto rs_num_cpus = environment_value(cpu_count_variable);
    ThreadCountOrigin origin{choose_thread_count(num_threads, rs_num_cpus, &processor_count),
                             thread_count_request(num_threads, rs_num_cpus), std::nullopt};
    if (!origin.request.count) origin.processors = processor_count_source();
    return origin;
}

std::optional<std::size_t> cgroup_cpu_limit(const std::string& root, std::size_t logical_count) {
    const auto cgroup_text = read_file(root + "/proc/self/cgroup");
    if (!cgroup_text) return std::nullopt;
    const auto group = find_cpu_group(*cgroup_text);
    if (!group) return std::nullopt;

    const auto mountinfo_text = read_file(root + "/proc/self/mountinfo");
    if (!mountinfo_text) return std::nullopt;
    const auto mount = find_cgroup_mount(*mountinfo_text, group->version_2);
    if (!mount) return std::nullopt;

    const auto inside_mount = strip_path_prefix(group->path, mount->root);
    if (!inside_mount) return std::nullopt;
    std::string directory = root + mount->mount_point;
    if (!inside_mount->empty()) directory += '/' + *inside_mount;

    const auto quota = group->version_2 ? read_version_2_quota(directory) : read_version_1_quota(directory);
    if (!quota || quota->period == 0) return std::nullopt;
    const double limit = std::ceil(static_cast<double>(quota->quota) / static_cast<double>(quota->period));
    // 2^64 itself is not representable as u64; a double that large saturates.
    constexpr double two_to_64 = 18446744073709551616.0;
    const std::uint64_t whole_limit =
        limit >= two_to_64 ? std::numeric_limits<std::uint64_t>::max() : static_cast<std::uint64_t>(limit);
    if (whole_limit == 0) return std::nullopt;
    return static_cast<std::size_t>(std::min<std::uint64_t>(whole_limit, logical_count));
}

namespace {

struct ProcessorCount {
    std::size_t count;
    ProcessorCountSource source;
};

ProcessorCount count_logical_processors() {
    // cpu_set_t is the 128-byte mask of the first 1024 processors.
    static_assert(sizeof(cpu_set_t) == 128);
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (sched_getaffinity(0, sizeof mask, &mask) == 0) {
        const int count = CPU_COUNT(&mask);
        if (count > 0) return {static_cast<std::size_t>(count), ProcessorCountSource::affinity_mask};
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return {online < 1 ? 1 : static_cast<std::size_t>(online), ProcessorCountSource::online_processors};
}

ProcessorCount count_processors() {
    static const std::optional<std::size_t> cgroup_count = cgroup_cpu_limit("", logical_processor_count());
    if (cgroup_count) return {*cgroup_count, ProcessorCountSource::cgroup_quota};
    return count_logical_processors();
}

}  // namespace

std::size_t logical_processor_count() { return count_logical_processors().count; }

std::size_t processor_count() { return count_processors().count; }

ProcessorCountSource processor_count_source() { return count_processors().source; }

}  // namespace zorv::pool
