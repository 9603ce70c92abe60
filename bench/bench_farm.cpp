// Two drives at once against each alone: what a farm gains from running its streams together.
//
//   bench_farm [MiB] [rounds]           (default 1024 MiB, 3 rounds; needs root)
//
// Makes two ext4 file systems on loop devices over files in /dev/shm (drives in memory, so the
// limit is this machine's memory bandwidth and cores, not a disk's seek), writes an optimized
// PoC1 plot of about the given size on the first and one a quarter larger on the second, and
// plans each drive's plot into a folder on its own drive with the program's planning. It then
// times, from a cold page cache, the first drive's conversion alone, the second's alone and
// both through one farm (two streams, the automatic budget divided between them), and prints
// the times and the ratio of both together to the larger alone. Each round's outputs are
// removed; the best round of each counts. Everything is removed at the end.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "catalogue/drives.h"
#include "catalogue/planning.h"
#include "catalogue/plot_format.h"
#include "catalogue/plot_name.h"
#include "support/loop_volume.h"
#include "support/plot_files.h"
#include "swizzler/farm.h"
#include "util/log.h"
#include "util/ui_tasks.h"

namespace {

struct drive_s {
    loop_volume_s* volume = nullptr;
    std::string plots, swizzled;
    plot_spec_s plot;
};

void drop_page_cache() {
    if (std::system("sync") != 0) {
        std::fprintf(stderr, "sync failed\n");
    }
    if (std::FILE* drop = std::fopen("/proc/sys/vm/drop_caches", "w")) {
        std::fputs("3\n", drop);
        std::fclose(drop);
    }
}

// The machine's busy time in clock ticks (every core, user and system), from /proc/stat.
double busy_ticks() {
    unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, soft = 0;
    if (std::FILE* stat = std::fopen("/proc/stat", "r")) {
        if (std::fscanf(stat, "cpu %llu %llu %llu %llu %llu %llu %llu", &user, &nice, &system,
                        &idle, &iowait, &irq, &soft) != 7) {
            user = nice = system = irq = soft = 0;
        }
        std::fclose(stat);
    }
    return static_cast<double>(user + nice + system + irq + soft);
}

// Plans the given drives' folders and runs the plan as a farm; the seconds it took, or a
// negative figure when a job did not complete.
double timed_farm(const std::vector<const drive_s*>& drives) {
    plan_request_s request;
    for (const drive_s* drive : drives) {
        request.sources.push_back(describe_folder(drive->plots));
        request.destinations.push_back(describe_folder(drive->swizzled));
    }
    conversion_plan_s plan = plan_conversion(request);
    if (plan.outcome != plan_outcome::planned || plan.jobs.size() != drives.size()) {
        std::fprintf(stderr, "planning found %zu jobs\n", plan.jobs.size());
        return -1;
    }
    drop_page_cache();
    double ticks = busy_ticks();
    auto start = std::chrono::steady_clock::now();
    farm_s farm;
    start_farm(farm, plan, 0, farm_settings_s{}, [] {});
    join_farm(farm);
    run_ui_tasks();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cores = (busy_ticks() - ticks) / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds;
    std::printf("  %zu stream(s): %.2f s, %.2f cores busy on average\n", farm.streams.size(),
                seconds, cores);
    bool completed = true;
    for (const conversion_job_s& job : farm_plan(farm).jobs) {
        completed = completed && job.state == job_state::completed;
        unlink(job.output_path.c_str());
    }
    return completed ? seconds : -1;
}

// The whole measurement in `work`; the exit status.
int measure(const std::string& work, std::uint64_t mib, int rounds) {

    std::uint64_t nonces = mib * 4;                             // 256 KiB a nonce
    std::uint64_t room = (plot_size(nonces) * 3) + (64u << 20); // the larger plot twice, and some
    loop_volume_s first("/dev/shm", work + "/first", room, 4096, "ext4");
    loop_volume_s second("/dev/shm", work + "/second", room, 4096, "ext4");
    for (const loop_volume_s* volume : {&first, &second}) {
        if (!volume->why_not.empty()) {
            std::fprintf(stderr, "no loop drive: %s\n", volume->why_not.c_str());
            return 1;
        }
    }
    drive_s drives[2] = {
        {&first, first.path + "/plots", first.path + "/swizzled", {1, 0, nonces}},
        {&second, second.path + "/plots", second.path + "/swizzled", {2, 0, nonces + nonces / 4}}};
    for (drive_s& drive : drives) {
        mkdir(drive.plots.c_str(), 0755);
        mkdir(drive.swizzled.c_str(), 0755);
        if (write_poc1_plot(drive.plots, drive.plot).empty()) {
            std::fprintf(stderr, "could not write the plot on %s\n", drive.volume->path.c_str());
            return 1;
        }
    }

    double alone[2] = {1e9, 1e9}, together = 1e9;
    for (int round = 0; round < rounds; ++round) {
        std::printf("round %d\n", round + 1);
        for (int i = 0; i < 2; ++i) {
            double seconds = timed_farm({&drives[i]});
            if (seconds < 0) {
                return 1;
            }
            alone[i] = std::min(alone[i], seconds);
        }
        double seconds = timed_farm({&drives[0], &drives[1]});
        if (seconds < 0) {
            return 1;
        }
        together = std::min(together, seconds);
    }
    double larger = std::max(alone[0], alone[1]);
    std::printf("first alone (%llu nonces)  %.2f s\n", static_cast<unsigned long long>(nonces),
                alone[0]);
    std::printf("second alone (%llu nonces) %.2f s\n",
                static_cast<unsigned long long>(drives[1].plot.nonces), alone[1]);
    std::printf("both at once            %.2f s = %.2f x the larger alone\n", together,
                together / larger);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (mib < 16 || rounds < 1) {
        std::fprintf(stderr, "usage: bench_farm [MiB >= 16] [rounds >= 1]\n");
        return 2;
    }
    std::string work = "/var/tmp/scoopshift-bench-farm";
    mkdir(work.c_str(), 0755);
    std::string log_path = work + "/log.txt";
    open_log_file(log_path.c_str());
    set_ui_wake_handler([] { return true; });
    int status = measure(work, mib, rounds);
    close_log_file();
    unlink(log_path.c_str());
    rmdir(work.c_str());
    return status;
}
