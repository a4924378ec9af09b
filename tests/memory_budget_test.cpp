#include "model/memory_budget.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "model/kernel.hpp"
#include "model/phenotype_array.hpp"
#include "model/population_model.hpp"
#include "tests/test_support.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace hostswitch {
namespace {

using testing::TempDir;

// A fake system root: proc files and cgroup files written where the reader looks for them.
class FakeRoot {
 public:
  void put(const std::string& relative, const std::string& content) {
    const std::filesystem::path file = dir_.path() / relative;
    std::filesystem::create_directories(file.parent_path());
    testing::write_file(file, content);
  }
  MemoryLimits read() const { return read_memory_limits(dir_.path()); }

  // /proc/self/limits with the address space and data soft limits given as text.
  void limits(const std::string& address_space, const std::string& data) {
    put("proc/self/limits",
        "Limit                     Soft Limit           Hard Limit           Units     \n"
        "Max cpu time              unlimited            unlimited            seconds   \n"
        "Max data size             " +
            data +
            "            unlimited            bytes     \n"
            "Max stack size            8388608              unlimited            bytes     \n"
            "Max address space         " +
            address_space + "            unlimited            bytes     \n");
  }

 private:
  TempDir dir_;
};

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

TEST(MemoryLimits, CgroupV2TakesTheTightestAncestorLessItsUse) {
  FakeRoot root;
  root.put("proc/meminfo",
           "MemTotal:       16000000 kB\nMemFree:         9000000 kB\n"
           "MemAvailable:    8000000 kB\nBuffers:           10000 kB\n");
  root.put("proc/self/cgroup", "0::/slurm/job_7/step_0\n");
  root.put(
      "proc/self/mountinfo",
      "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
      "30 22 0:26 / /sys/fs/cgroup rw,nosuid,nodev shared:9 - cgroup2 cgroup2 rw,nsdelegate\n");
  // The job has 2 GiB and uses 512 MiB; its step sets no limit of its own.
  root.put("sys/fs/cgroup/slurm/job_7/memory.max", "2147483648\n");
  root.put("sys/fs/cgroup/slurm/job_7/memory.current", "536870912\n");
  root.put("sys/fs/cgroup/slurm/job_7/step_0/memory.max", "max\n");
  root.put("sys/fs/cgroup/slurm/job_7/step_0/memory.current", "100\n");
  root.put("sys/fs/cgroup/slurm/memory.max", "max\n");
  root.limits("unlimited", "unlimited");

  const MemoryLimits limits = root.read();
  EXPECT_EQ(limits.available, std::size_t{8000000} * 1024);
  EXPECT_EQ(limits.cgroup, std::size_t{2147483648 - 536870912});
  EXPECT_FALSE(limits.address_space);
  EXPECT_FALSE(limits.data);
  EXPECT_EQ(limits.smallest(), std::size_t{1610612736});
}

TEST(MemoryLimits, CgroupV1FoundThroughMountinfoOrTheUsualLayout) {
  {
    // A container: the mount's root is the process's own cgroup, mounted at a path with a
    // space in it; the cpu hierarchy is not the memory one.
    FakeRoot root;
    root.put("proc/self/cgroup", "5:cpu,cpuacct:/docker/abc\n4:memory:/docker/abc\n0::/\n");
    root.put("proc/self/mountinfo",
             "40 31 0:32 /docker/abc /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu,cpuacct\n"
             "41 31 0:33 /docker/abc /sys/fs/cg\\040mem rw,relatime - cgroup cgroup rw,memory\n");
    root.put("sys/fs/cgroup/cpu/memory.limit_in_bytes", "1\n");
    root.put("sys/fs/cg mem/memory.limit_in_bytes", "1000000000\n");
    root.put("sys/fs/cg mem/memory.usage_in_bytes", "400000000\n");
    EXPECT_EQ(root.read().cgroup, std::size_t{600000000});
  }
  {
    // No mountinfo: the memory hierarchy sits at /sys/fs/cgroup/memory. The parent's limit is
    // the tighter one; a use above the limit leaves nothing.
    FakeRoot root;
    root.put("proc/self/cgroup", "4:memory:/jobs/42\n");
    root.put("sys/fs/cgroup/memory/jobs/42/memory.limit_in_bytes", "9223372036854771712\n");
    root.put("sys/fs/cgroup/memory/jobs/42/memory.usage_in_bytes", "300\n");
    root.put("sys/fs/cgroup/memory/jobs/memory.limit_in_bytes", "5000\n");
    root.put("sys/fs/cgroup/memory/jobs/memory.usage_in_bytes", "1000\n");
    EXPECT_EQ(root.read().cgroup, std::size_t{4000});
    root.put("sys/fs/cgroup/memory/jobs/memory.usage_in_bytes", "6000\n");
    EXPECT_EQ(root.read().cgroup, std::size_t{0});
  }
}

TEST(MemoryLimits, RlimitsLessWhatIsAlreadyMapped) {
  FakeRoot root;
  root.limits("2000000000", "500000000");
  root.put("proc/self/status",
           "Name:\thostswitch\nVmPeak:\t  120000 kB\nVmSize:\t  100000 kB\nVmRSS:\t    5000 kB\n"
           "VmData:\t    1000 kB\nVmStk:\t     132 kB\n");
  const MemoryLimits limits = root.read();
  EXPECT_EQ(limits.address_space, std::size_t{2000000000 - 102400000});
  EXPECT_EQ(limits.data, std::size_t{500000000 - 1024000});
  EXPECT_FALSE(limits.available);
  EXPECT_FALSE(limits.cgroup);
  EXPECT_EQ(limits.smallest(), std::size_t{498976000});
}

TEST(MemoryLimits, NothingReadableLimitsNothing) {
  FakeRoot root;
  root.put("proc/self/cgroup", "0::/user.slice\n");  // but no cgroup files
  root.put("proc/meminfo", "MemTotal: 1000 kB\n");
  const MemoryLimits limits = root.read();
  EXPECT_FALSE(limits.available);
  EXPECT_FALSE(limits.cgroup);
  EXPECT_EQ(limits.smallest(), kNone);
}

TEST(MemoryBudgetChecks, AGenerationIsSizedByHand) {
  // One array of 150 (100 parents, then 50 offspring) and 150 stayer bits in three words.
  EXPECT_EQ(generation_bytes(100, 150), 150 * 8 + 3 * 8);
  EXPECT_EQ(generation_bytes(100, 128), 128 * 8 + 2 * 8);
  // 7 * 10^8 parasites growing to a capacity of 10^9: 8 GB and 125 MB of bits.
  EXPECT_EQ(first_generation_bytes({700000000, 0.5, 1000000000, 0.0, 1.0, 0.5, 2.0, 3}),
            std::size_t{8000000000 + 15625000 * 8});
}

class BudgetOf {
 public:
  explicit BudgetOf(std::size_t bytes) : saved_(MemoryBudget::limit()) {
    MemoryBudget::set_limit(bytes);
  }
  ~BudgetOf() { MemoryBudget::set_limit(saved_); }

 private:
  std::size_t saved_;
};

class CountingReporter final : public Reporter {
 public:
  void report(const GenerationRecord&) override { ++calls; }
  int calls = 0;
};

TEST(MemoryBudgetChecks, SequencesAreSizedExactlyAndReused) {
  UniformStream stream;
  CountingReporter reporter;
  // Nobody emigrates and, at so wide a survival function, every weight rounds to 1: the
  // population doubles from 100 to the capacity of 1000 and stays there. The array grows
  // keeping its population, the bits are released before they grow: the most held at once
  // is in generation 4, the array of 800 and its successor of 1000 with the 13 words of
  // generation 3: 6400 + 8000 + 104 bytes.
  const SimulationParameters doubling{100, 1.0, 1000, 0.0, 1e10, 0.5, 2.0, 8};
  {
    const BudgetOf budget(14504);
    init_random_seed(stream, 3);
    const RunResult result = run_population_on(Kernel::kScalar, doubling, stream, reporter);
    EXPECT_FALSE(result.outcome.extinct);
    EXPECT_EQ(result.final_population.size(), 1000U);
  }
  {
    const BudgetOf budget(14503);
    init_random_seed(stream, 3);
    EXPECT_THROW(run_population_on(Kernel::kScalar, doubling, stream, reporter),
                 InsufficientMemory);
  }
  reporter.calls -= 3;  // the refused run reported generations 1 to 3
  EXPECT_EQ(reporter.calls, 8);
  // The first generation needs an array of 200 and four words of bits: 1632 bytes. One byte
  // short, and no kernel starts.
  EXPECT_EQ(first_generation_bytes(doubling), 1632U);
  for (const Kernel kernel : supported_kernels()) {
    reporter.calls = 0;
    {
      const BudgetOf budget(1631);
      init_random_seed(stream, 3);
      EXPECT_THROW(run_population_on(kernel, doubling, stream, reporter), InsufficientMemory);
      EXPECT_THROW(require_first_generation_memory(doubling), InsufficientMemory);
    }
    EXPECT_EQ(reporter.calls, 0) << kernel_name(kernel);
    {
      const BudgetOf budget(1632);
      init_random_seed(stream, 3);
      SimulationParameters one_generation = doubling;
      one_generation.n_gen = 1;
      EXPECT_NO_THROW(run_population_on(kernel, one_generation, stream, reporter))
          << kernel_name(kernel);
    }
  }
  EXPECT_EQ(MemoryBudget::in_use(), 0U);
}

TEST(MemoryBudgetChecks, ThePopulationsArrayGrowsInPlaceKeepingItsValues) {
  const BudgetOf budget(std::size_t{64} << 20);
  {
    PhenotypeArray cells;
    cells.resize(1000);
    for (std::size_t i = 0; i < cells.size(); ++i) cells[i] = static_cast<double>(i);
    EXPECT_EQ(MemoryBudget::in_use(), 8000U);
    // From the heap into a mapping of its own: the first 600 go with it.
    cells.resize(1'000'000, 600);
    EXPECT_EQ(MemoryBudget::in_use(), 8'000'000U);
    EXPECT_EQ(cells[599], 599.0);
    cells[999'999] = -1.0;
    // A mapping grows keeping all it holds, however much it is told to keep.
    cells.resize(3'000'000, 0);
    EXPECT_EQ(MemoryBudget::in_use(), 24'000'000U);
    EXPECT_EQ(cells[599], 599.0);
    EXPECT_EQ(cells[999'999], -1.0);
    // Refused room changes nothing.
    EXPECT_THROW(cells.resize(9'000'000), InsufficientMemory);
    EXPECT_EQ(cells.size(), 3'000'000U);
    EXPECT_EQ(MemoryBudget::in_use(), 24'000'000U);
#if defined(__linux__)
    // Where the addresses after it are taken, the mapping moves, still on a huge-page
    // boundary (an unaligned one would split every huge page it has).
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(cells.data()) % kHugePage, 0U);
    void* const after = reinterpret_cast<char*>(cells.data()) + (std::size_t{24} << 20);
    void* const blocker =
        ::mmap(after, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    ASSERT_EQ(blocker, after);
    const double* const before = cells.data();
    cells.resize(5'000'000, 0);
    EXPECT_NE(cells.data(), before);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(cells.data()) % kHugePage, 0U);
    EXPECT_EQ(cells[599], 599.0);
    EXPECT_EQ(cells[999'999], -1.0);
    ::munmap(blocker, 4096);
#endif
    cells.resize(10);
    const PhenotypeArray copy = cells;
    EXPECT_EQ(copy, cells);
    EXPECT_EQ(copy[9], 9.0);
  }
  EXPECT_EQ(MemoryBudget::in_use(), 0U);
}

}  // namespace
}  // namespace hostswitch
