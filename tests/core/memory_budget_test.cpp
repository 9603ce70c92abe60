// The memory figures a run plans with: control-group limits, and the one sizing rule that the
// worker, the configuration screen and the terminal front end share.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "catalogue/plot_format.h"
#include "support/temp_folder.h"
#include "swizzler/buffer_sizing.h"
#include "util/memory_status.h"

namespace {

constexpr std::uint64_t gib = std::uint64_t{1} << 30;
constexpr std::uint64_t mib = std::uint64_t{1} << 20;

void write_file(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
}

// A folder that looks like /proc and the cgroup mounts of a process in /machine/app.
struct fake_system_s {
    temp_folder_s folder;
    fake_system_s(const std::string& cgroup, const std::string& mountinfo) {
        write_file(folder.path + "/proc/meminfo", "MemTotal:       24000000 kB\nMemFree:  1000 kB\n"
                                                  "MemAvailable:   20000000 kB\n");
        write_file(folder.path + "/proc/self/cgroup", cgroup);
        write_file(folder.path + "/proc/self/mountinfo", mountinfo);
    }
    void group_file(const std::string& path, const std::string& text) {
        write_file(folder.path + path, text + "\n");
    }
};

TEST(memory_status, the_tightest_group_limit_less_its_usage_narrows_the_machine) {
    // cgroup v2: the parent's limit is the tighter one; the group itself has none.
    fake_system_s v2("0::/machine/app\n",
                     "30 22 0:27 / /sys/fs/cgroup rw,relatime - cgroup2 cgroup2 rw\n");
    v2.group_file("/sys/fs/cgroup/machine/app/memory.max", "max");
    v2.group_file("/sys/fs/cgroup/machine/app/memory.current", "1000");
    v2.group_file("/sys/fs/cgroup/machine/memory.max", std::to_string(200 * mib));
    v2.group_file("/sys/fs/cgroup/machine/memory.current", std::to_string(50 * mib));
    memory_status_s status = read_memory_status_under(v2.folder.path);
    EXPECT_EQ(status.total_bytes, 200 * mib);
    EXPECT_EQ(status.available_bytes, 150 * mib);

    // cgroup v1 in a container: the mount's root is the group, so the limit is at the mount.
    fake_system_s v1("4:memory:/docker/abc\n0::/\n",
                     "34 30 0:31 /docker/abc /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n");
    v1.group_file("/sys/fs/cgroup/memory/memory.limit_in_bytes", std::to_string(gib));
    v1.group_file("/sys/fs/cgroup/memory/memory.usage_in_bytes", std::to_string(gib + 5));
    status = read_memory_status_under(v1.folder.path);
    EXPECT_EQ(status.total_bytes, gib);
    EXPECT_EQ(status.available_bytes, 0u) << "usage above the limit leaves nothing";

    // No limit anywhere ("max", or v1's huge number): the machine's own figures.
    fake_system_s open("4:cpu,memory:/a\n", "34 30 0:31 / /cg rw - cgroup cgroup rw,cpu,memory\n");
    open.group_file("/cg/a/memory.limit_in_bytes", "9223372036854771712");
    status = read_memory_status_under(open.folder.path);
    EXPECT_EQ(status.total_bytes, 24000000ull * 1024);
    EXPECT_EQ(status.available_bytes, 20000000ull * 1024);
}

TEST(buffer_sizing, one_rule_for_automatic_limited_and_impossible_budgets) {
    memory_status_s memory{10 * gib, 16 * gib};
    // Automatic: nine tenths of the available memory, spent on at most 32 tiles of at most
    // 8 MiB, never larger than the largest job's runs need.
    buffer_sizing_s huge = size_buffers(memory, plot_size(std::uint64_t{1} << 40), 0, false);
    EXPECT_EQ(huge.budget_bytes, 9 * gib);
    EXPECT_EQ(huge.tile_bytes, 8 * mib);
    EXPECT_EQ(huge.tiles, 32u);
    EXPECT_EQ(huge.buffer_bytes, 256 * mib);
    EXPECT_EQ(huge.change, budget_change::none);
    buffer_sizing_s small_runs = size_buffers(memory, plot_size(16384), 0, false);
    EXPECT_EQ(small_runs.tile_bytes, mib + 4096) << "a run of 1 MiB and its edge block";

    // A limit is kept to: about eight tiles (at least the least a run needs), whole blocks,
    // never more than the limit.
    buffer_sizing_s limited = size_buffers(memory, plot_size(1u << 20), 6 * mib + 5, false);
    EXPECT_EQ(limited.budget_bytes, 6 * mib + 5);
    EXPECT_EQ(limited.tile_bytes % 4096, 0u);
    EXPECT_LE(limited.buffer_bytes, limited.budget_bytes);
    EXPECT_GE(limited.tiles, 8u);
    EXPECT_GE(size_buffers(memory, plot_size(1u << 20), 100 * 1024, true).tiles,
              smallest_budget(true) / 4096)
        << "a small budget still holds the tiles a merged job needs";

    // More than the machine has free: lowered to what it has, and said so.
    buffer_sizing_s lowered =
        size_buffers(memory, plot_size(std::uint64_t{1} << 40), 100 * gib, false);
    EXPECT_EQ(lowered.budget_bytes, 10 * gib);
    EXPECT_LE(lowered.buffer_bytes, 10 * gib);
    EXPECT_EQ(lowered.change, budget_change::lowered_to_available);

    // Less than the least that converts: raised to it, which merged jobs need more of.
    for (bool merged : {false, true}) {
        SCOPED_TRACE(merged);
        buffer_sizing_s raised = size_buffers(memory, plot_size(100), 2150, merged);
        EXPECT_EQ(raised.budget_bytes, smallest_budget(merged));
        EXPECT_EQ(raised.tile_bytes, 4096u);
        EXPECT_EQ(raised.buffer_bytes, smallest_budget(merged));
        EXPECT_EQ(raised.change, budget_change::raised_to_smallest);
    }
    EXPECT_LT(smallest_budget(false), smallest_budget(true));

    // An empty plan needs nothing.
    EXPECT_EQ(size_buffers(memory, 0, 0, false).buffer_bytes, 0u);
}

} // namespace
