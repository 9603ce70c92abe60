// The conversion against the disk's own limits, on one synthetic plot.
//
//   bench_convert [GiB] [folder] [rounds]   (default 4 GiB, /var/tmp/scoopshift-bench, 3)
//
// Creates an optimized PoC1 plot of the given size in the folder, then times,
// each from a cold page cache (dropped when run as root): a direct copy with dd
// (64 MiB blocks, direct in and out) and a sync, the physical limit; cp and a
// sync, what a user would do instead; and the conversion with the capacity K
// equal to the plot's nonce count N and to N / 16, each including the flush of
// the target before its rename. The four steps run in turn, round after round,
// so that a disk whose speed drifts (a shared or virtual one) affects them
// alike; the best time of each is kept. Prints every figure and the ratios to
// dd, and removes everything it wrote. The folder must be on a disk, not tmpfs.
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "catalogue/plot_name.h"
#include "support/plot_files.h"
#include "swizzler/conversion_record.h"
#include "swizzler/swizzle.h"
#include "swizzler/worker.h"
#include "util/log.h"
#include "util/ui_tasks.h"

namespace {

constexpr long tmpfs_magic = 0x01021994;

bool cold_cache_possible() {
    return geteuid() == 0;
}

void drop_page_cache() {
    if (std::system("sync") != 0) {
        std::fprintf(stderr, "sync failed\n");
    }
    if (!cold_cache_possible()) {
        return;
    }
    if (std::FILE* drop = std::fopen("/proc/sys/vm/drop_caches", "w")) {
        std::fputs("3\n", drop);
        std::fclose(drop);
    } else {
        std::fprintf(stderr, "could not drop the page cache\n");
    }
}

template <typename F> double timed(F&& step) {
    drop_page_cache();
    auto start = std::chrono::steady_clock::now();
    step();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return took.count();
}

void run_shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

// One conversion of the plot with capacity `capacity`; false when the job did not complete.
bool convert(const std::string& source, const plot_spec_s& plot, const std::string& folder,
             std::uint64_t capacity) {
    swizzler_s record;
    conversion_job_s job;
    job.account_id = plot.account_id;
    job.start_nonce = plot.start_nonce;
    job.nonces = plot.nonces;
    job.source_paths = {source};
    job.source_nonces = {plot.nonces};
    job.output_path = make_output_path(folder, plot.account_id, plot.start_nonce, plot.nonces);
    record.plan.bytes_total = record.plan.largest_job_bytes = plot_size(plot.nonces);
    record.plan.jobs.push_back(std::move(job));
    start_work_thread(record, capacity * 384, [] {});
    record.thread.join();
    run_ui_tasks();
    bool completed = record.plan.jobs[0].state == job_state::completed;
    if (!completed) {
        std::fprintf(stderr, "conversion failed: %s\n", record.plan.jobs[0].failure.c_str());
    }
    unlink(record.plan.jobs[0].output_path.c_str());
    unlink((record.plan.jobs[0].output_path + ".swizzling").c_str());
    return completed;
}

} // namespace

int main(int argc, char** argv) {
    std::uint64_t gib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4;
    std::string folder = argc > 2 ? argv[2] : "/var/tmp/scoopshift-bench";
    int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    mkdir(folder.c_str(), 0755);
    struct statfs volume {};
    if (statfs(folder.c_str(), &volume) != 0) {
        std::perror(folder.c_str());
        return 1;
    }
    if (volume.f_type == tmpfs_magic) {
        std::fprintf(stderr, "%s is on tmpfs; give a folder on a disk\n", folder.c_str());
        return 1;
    }
    std::string log_path = folder + "/bench_convert.log";
    open_log_file(log_path.c_str());
    set_ui_wake_handler([] { return true; });
    set_message_box_handler([](int, const char* title, const char* text, message_box_kind) {
        std::fprintf(stderr, "[%s] %s\n", title, text);
        return false;
    });
    run_ui_tasks();

    plot_spec_s plot{4242, 0, gib << 12}; // 4096 nonces of 256 KiB per GiB
    std::printf("creating %s (%llu nonces, %llu GiB) in %s\n", poc1_name(plot).c_str(),
                static_cast<unsigned long long>(plot.nonces), static_cast<unsigned long long>(gib),
                folder.c_str());
    std::string source = write_poc1_plot(folder, plot);
    if (source.empty()) {
        std::fprintf(stderr, "could not write the plot\n");
        return 1;
    }
    if (!cold_cache_possible()) {
        std::printf("not root: the page cache cannot be dropped, figures are warm-cache ones\n");
    }

    std::string copy = folder + "/copy";
    bool ok = true;
    double dd = 1e30, cp = 1e30, whole = 1e30, sixteenth = 1e30;
    for (int round = 0; round < rounds; ++round) {
        dd = std::min(dd, timed([&] {
                          run_shell("dd if=" + source + " of=" + copy +
                                    " bs=64M iflag=direct oflag=direct status=none && sync");
                      }));
        unlink(copy.c_str());
        cp = std::min(cp, timed([&] { run_shell("cp " + source + " " + copy + " && sync"); }));
        unlink(copy.c_str());
        whole =
            std::min(whole, timed([&] { ok = convert(source, plot, folder, plot.nonces) && ok; }));
        sixteenth = std::min(
            sixteenth, timed([&] { ok = convert(source, plot, folder, plot.nonces / 16) && ok; }));
        std::printf("round %d: dd %.2f s, cp %.2f s, K = N %.2f s, K = N/16 %.2f s (best so far)\n",
                    round + 1, dd, cp, whole, sixteenth);
    }
    unlink(source.c_str());
    unlink(log_path.c_str());
    rmdir(folder.c_str());

    double gb = static_cast<double>(plot_size(plot.nonces)) / 1e9;
    std::printf("best of %d rounds:\n%-34s %8s %9s %8s\n", rounds, "step", "seconds", "GB/s",
                "x dd");
    auto line = [&](const char* step, double seconds) {
        std::printf("%-34s %8.2f %9.3f %8.2f\n", step, seconds, gb / seconds, seconds / dd);
    };
    line("dd direct 64M + sync", dd);
    line("cp + sync", cp);
    line("conversion K = N", whole);
    line("conversion K = N/16", sixteenth);
    std::printf("targets: K = N at most 1.10 x dd, K = N/16 at most 1.50 x dd\n");
    return ok ? 0 : 1;
}
