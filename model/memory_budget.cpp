#include "model/memory_budget.hpp"

#include <unistd.h>
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace hostswitch {

std::atomic<std::size_t> MemoryBudget::in_use_{0};

namespace {

namespace fs = std::filesystem;

std::atomic<std::size_t> configured_limit{0};

std::optional<std::string> read_text(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (file.bad()) return std::nullopt;
  return text;
}

std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::string_view trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::optional<std::uint64_t> read_number(std::string_view text) {
  text = trimmed(text);
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::size_t to_size(std::uint64_t value) {
  return static_cast<std::size_t>(
      std::min<std::uint64_t>(value, std::numeric_limits<std::size_t>::max()));
}

std::size_t less(std::uint64_t limit, std::uint64_t used) {
  return to_size(limit > used ? limit - used : 0);
}

// The value of a "Key:   123 kB" line, in bytes.
std::optional<std::uint64_t> kib_field(std::string_view text, std::string_view key) {
  for (const std::string_view line : lines_of(text)) {
    if (line.substr(0, key.size()) != key) continue;
    std::string_view rest = trimmed(line.substr(key.size()));
    rest = rest.substr(0, rest.find(' '));
    const auto kib = read_number(rest);
    if (!kib || *kib > std::numeric_limits<std::uint64_t>::max() / 1024) return std::nullopt;
    return *kib * 1024;
  }
  return std::nullopt;
}

// The soft limit of a /proc/self/limits line; nothing for "unlimited" or an unreadable line.
std::optional<std::uint64_t> soft_limit(std::string_view text, std::string_view name) {
  for (const std::string_view line : lines_of(text)) {
    if (line.substr(0, name.size()) != name) continue;
    std::string_view rest = trimmed(line.substr(name.size()));
    return read_number(rest.substr(0, rest.find_first_of(" \t")));
  }
  return std::nullopt;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

// mountinfo writes a space, tab, newline or backslash in a path as a three-digit octal escape.
std::string unescaped(std::string_view text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto octal = [&](std::size_t at) { return text[at] >= '0' && text[at] <= '7'; };
    if (text[i] == '\\' && i + 3 < text.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      plain += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                 (text[i + 3] - '0'));
      i += 3;
    } else {
      plain += text[i];
    }
  }
  return plain;
}

enum class CgroupVersion { kOne, kTwo };

struct CgroupMount {
  std::string root;         // the cgroup path seen at the mount point
  std::string mount_point;  // where it is mounted
};

std::optional<CgroupMount> find_mount(std::string_view mountinfo, CgroupVersion version) {
  for (const std::string_view line : lines_of(mountinfo)) {
    const std::size_t dash = line.find(" - ");
    if (dash == std::string_view::npos) continue;
    const auto fields = split(line.substr(0, dash), ' ');
    const auto tail = split(line.substr(dash + 3), ' ');
    if (fields.size() < 5 || tail.size() < 3) continue;
    if (version == CgroupVersion::kTwo) {
      if (tail[0] != "cgroup2") continue;
    } else {
      if (tail[0] != "cgroup") continue;
      const auto options = split(tail[2], ',');
      if (std::find(options.begin(), options.end(), "memory") == options.end()) continue;
    }
    return CgroupMount{unescaped(fields[3]), unescaped(fields[4])};
  }
  return std::nullopt;
}

// The tightest limit less use from the process's cgroup up to the root of its mount.
std::optional<std::size_t> cgroup_room(const fs::path& root, const std::string& mountinfo,
                                       CgroupVersion version, std::string_view cgroup_path) {
  const bool two = version == CgroupVersion::kTwo;
  CgroupMount mount =
      find_mount(mountinfo, version)
          .value_or(CgroupMount{"/", two ? "/sys/fs/cgroup" : "/sys/fs/cgroup/memory"});
  // The process's path below the mount's root; a path outside it (another cgroup namespace)
  // leaves only the mount's root to read.
  std::string_view below;
  const std::string_view mount_root = mount.root == "/" ? std::string_view() : mount.root;
  if (cgroup_path.substr(0, mount_root.size()) == mount_root &&
      (cgroup_path.size() == mount_root.size() || cgroup_path[mount_root.size()] == '/')) {
    below = cgroup_path.substr(mount_root.size());
  }
  const fs::path base = root / fs::path(mount.mount_point).relative_path();
  fs::path relative = fs::path(std::string(below)).relative_path().lexically_normal();
  if (!relative.empty() && *relative.begin() == "..") relative.clear();
  const char* const limit_name = two ? "memory.max" : "memory.limit_in_bytes";
  const char* const usage_name = two ? "memory.current" : "memory.usage_in_bytes";
  std::optional<std::size_t> room;
  for (;;) {
    const fs::path directory = relative.empty() || relative == "." ? base : base / relative;
    const auto limit_text = read_text(directory / limit_name);
    const auto usage_text = read_text(directory / usage_name);
    // "max" (v2) is no limit; so is a missing file at the root.
    const auto limit = limit_text ? read_number(*limit_text) : std::nullopt;
    const auto usage = usage_text ? read_number(*usage_text) : std::nullopt;
    if (limit) {
      const std::size_t here = less(*limit, usage.value_or(0));
      room = room ? std::min(*room, here) : here;
    }
    if (relative.empty() || relative == ".") break;
    relative = relative.parent_path();
  }
  return room;
}

std::optional<std::size_t> cgroup_limit(const fs::path& root) {
  const auto cgroups = read_text(root / "proc/self/cgroup");
  if (!cgroups) return std::nullopt;
  const std::string mountinfo = read_text(root / "proc/self/mountinfo").value_or("");
  std::optional<std::size_t> room;
  auto take = [&room](std::optional<std::size_t> found) {
    if (found) room = room ? std::min(*room, *found) : *found;
  };
  for (const std::string_view line : lines_of(*cgroups)) {
    // hierarchy-ID:controller-list:cgroup-path
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = trimmed(line.substr(second + 1));
    if (line.substr(0, first) == "0" && controllers.empty()) {
      take(cgroup_room(root, mountinfo, CgroupVersion::kTwo, path));
    } else {
      const auto names = split(controllers, ',');
      if (std::find(names.begin(), names.end(), "memory") != names.end()) {
        take(cgroup_room(root, mountinfo, CgroupVersion::kOne, path));
      }
    }
  }
  return room;
}

}  // namespace

void advise_huge_pages(void* block, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
  if (bytes < 2 * kHugePage) return;
  // Whole pages inside the block; advice is only advice, so its failure changes nothing.
  const auto first = (reinterpret_cast<std::uintptr_t>(block) + 4095) & ~std::uintptr_t{4095};
  const auto end = (reinterpret_cast<std::uintptr_t>(block) + bytes) & ~std::uintptr_t{4095};
  if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
  (void)block;
  (void)bytes;
#endif
}

std::size_t MemoryLimits::smallest() const {
  std::size_t bytes = std::numeric_limits<std::size_t>::max();
  for (const auto& limit : {available, cgroup, address_space, data}) {
    if (limit) bytes = std::min(bytes, *limit);
  }
  return bytes;
}

MemoryLimits read_memory_limits(const std::filesystem::path& root) {
  MemoryLimits limits;
  if (const auto meminfo = read_text(root / "proc/meminfo")) {
    if (const auto bytes = kib_field(*meminfo, "MemAvailable:")) limits.available = to_size(*bytes);
  }
  limits.cgroup = cgroup_limit(root);
  const std::string status = read_text(root / "proc/self/status").value_or("");
  if (const auto rlimits = read_text(root / "proc/self/limits")) {
    if (const auto as = soft_limit(*rlimits, "Max address space")) {
      limits.address_space = less(*as, kib_field(status, "VmSize:").value_or(0));
    }
    if (const auto data = soft_limit(*rlimits, "Max data size")) {
      limits.data = less(*data, kib_field(status, "VmData:").value_or(0));
    }
  }
  return limits;
}

std::size_t MemoryBudget::limit() {
  static std::once_flag measured;
  std::call_once(measured, [] {
    MemoryLimits limits = read_memory_limits("/");
    if (!limits.available) {
      const long pages = sysconf(_SC_AVPHYS_PAGES);
      const long page_size = sysconf(_SC_PAGESIZE);
      if (pages > 0 && page_size > 0) {
        limits.available = static_cast<std::size_t>(pages) * static_cast<std::size_t>(page_size);
      }
    }
    std::size_t expected = 0;
    configured_limit.compare_exchange_strong(expected, limits.smallest());
  });
  return configured_limit.load(std::memory_order_relaxed);
}

void MemoryBudget::set_limit(std::size_t bytes) {
  limit();  // measure first, so a later first call cannot overwrite this
  configured_limit.store(bytes, std::memory_order_relaxed);
}

bool MemoryBudget::fits(std::size_t bytes) {
  const std::size_t cap = limit();
  const std::size_t current = in_use();
  return bytes <= cap && current <= cap - bytes;
}

void MemoryBudget::acquire(std::size_t bytes) {
  const std::size_t cap = limit();
  std::size_t current = in_use_.load(std::memory_order_relaxed);
  do {
    if (bytes > cap || current > cap - bytes) throw InsufficientMemory();
  } while (!in_use_.compare_exchange_weak(current, current + bytes, std::memory_order_relaxed));
}

}  // namespace hostswitch
