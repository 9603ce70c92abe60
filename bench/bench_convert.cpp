// The conversion against the disk's own limit, over plot geometries and memory budgets.
//
//   bench_convert [GiB] [folder] [rounds] [in-place]
//                                           (default 4 GiB, /var/tmp/scoopshift-bench, 1)
//
// Writes three synthetic optimized PoC1 plots of about the given size into the folder: one of
// N = GiB * 4096 nonces (a power of two), one of N - 8 (a multiple of 8 but not of 64) and one
// of N - 1 (odd). For each it times, from a cold page cache (dropped when run as root), a direct
// copy with dd (64 MiB blocks, direct in and out, then sync), which is what the drive can do,
// and the conversion at four budgets, named by the capacity K in nonces that the budget
// 384 * K bytes stood for in earlier versions of the program: K = N, a K that is not a power of
// two (1016), K near N / 16 and K near N / 256; then in place, at K = N and with the automatic
// budget, each twice (the second run gives the PoC1 plot back, since the exchange is its own
// inverse; the better time counts). Each conversion runs in a child process, so that its peak
// resident memory can be read and set against its budget. Prints a table of seconds, the ratio
// to dd and the peak memory for every cell. On the first plot it then times a run stopped
// halfway and the run that takes it over, and what checkpoints cost (by paired runs). It removes
// everything it wrote. The folder must be on a disk, not tmpfs. With "in-place" as the fourth
// argument only dd and the conversions in place are timed.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "catalogue/plot_format.h"
#include "catalogue/plot_name.h"
#include "support/plot_files.h"
#include "swizzler/conversion_record.h"
#include "swizzler/farm.h"
#include "swizzler/worker.h"
#include "util/log.h"
#include "util/transfer_faults.h"
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

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void run_shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

struct run_options_s {
    std::uint64_t budget = 0;
    double checkpoint_seconds = 10;
    double stop_at = 0; // stop once this fraction is written (0: never), keeping the temporary
};

// Plans the one job of the run: `plot` at `source` into `folder` (or in its own file).
void plan_one_job(swizzler_s& record, const std::string& source, const plot_spec_s& plot,
                  const std::string& folder, bool in_place) {
    conversion_job_s job;
    job.account_id = plot.account_id;
    job.start_nonce = plot.start_nonce;
    job.nonces = plot.nonces;
    job.source_paths = {source};
    job.source_nonces = {plot.nonces};
    job.output_path = make_output_path(folder, plot.account_id, plot.start_nonce, plot.nonces);
    job.in_place = in_place;
    job.source_folder = job.destination_folder = folder;
    conversion_plan_s plan;
    plan.bytes_total = plan.largest_job_bytes = plot_size(plot.nonces);
    plan.jobs.push_back(std::move(job));
    // As the program runs it: a stream of the drive under the folder, spinning or not.
    record.plan = split_into_streams(plan).front();
}

// One conversion of `plot` into `folder`, in this (child) process.
bool convert(const std::string& source, const plot_spec_s& plot, const std::string& folder,
             const run_options_s& options) {
    swizzler_s record;
    record.checkpoints.seconds = options.checkpoint_seconds;
    if (options.stop_at > 0) {
        std::uint64_t stop_after =
            static_cast<std::uint64_t>(plot_size(plot.nonces) * options.stop_at);
        record.transfers =
            with_faults(automatic_transfers(), [&record, stop_after](const file_handle_s&,
                                                                     io_direction direction,
                                                                     std::uint64_t, std::uint64_t) {
                if (direction == io_direction::write && record.bytes_written.load() >= stop_after) {
                    record.stop = true;
                }
                return 0;
            });
    }
    plan_one_job(record, source, plot, folder, false);
    start_work_thread(record, options.budget, [] {});
    record.thread.join();
    run_ui_tasks();
    bool completed = record.plan.jobs[0].state == job_state::completed;
    if (options.stop_at > 0) {
        return record.plan.jobs[0].state == job_state::failed;
    }
    if (!completed) {
        std::fprintf(stderr, "conversion failed: %s\n", record.plan.jobs[0].failure.c_str());
    }
    return completed;
}

// One conversion of the plot at `path` in its own file, in this (child) process.
bool convert_in_place_once(const std::string& path, const plot_spec_s& plot,
                           const std::string& folder, std::uint64_t budget) {
    swizzler_s record;
    plan_one_job(record, path, plot, folder, true);
    start_work_thread(record, budget, [] {});
    record.thread.join();
    run_ui_tasks();
    bool completed = record.plan.jobs[0].state == job_state::completed;
    if (!completed) {
        std::fprintf(stderr, "conversion in place failed: %s\n",
                     record.plan.jobs[0].failure.c_str());
    }
    return completed;
}

struct cell_s {
    double seconds = 0;
    long peak_kib = 0; // resident memory of the converting process at its highest
    bool ok = false;
};

// Times `work` (true when it succeeded) in a child process, from a cold cache, with the child's
// peak resident memory.
template <typename Work> cell_s timed_child(Work work) {
    drop_page_cache();
    std::fflush(nullptr); // the child must not print again what is still buffered here
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        bool ok = work();
        std::fflush(nullptr);
        _exit(ok ? 0 : 1);
    }
    cell_s cell;
    int status = 0;
    struct rusage usage {};
    if (child > 0 && wait4(child, &status, 0, &usage) == child) {
        cell.seconds = seconds_since(start);
        cell.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        cell.peak_kib = usage.ru_maxrss;
    }
    return cell;
}

// Times one conversion in a child process, from a cold cache; removes its output unless it was
// stopped on purpose (the next run takes it over).
cell_s timed_conversion(const std::string& source, const plot_spec_s& plot,
                        const std::string& folder, const run_options_s& options) {
    cell_s cell = timed_child([&] { return convert(source, plot, folder, options); });
    if (options.stop_at == 0) {
        std::string output =
            make_output_path(folder, plot.account_id, plot.start_nonce, plot.nonces);
        unlink(output.c_str());
        unlink((output + ".swizzling").c_str());
        unlink((output + ".swizzling.progress").c_str());
    }
    return cell;
}

// Times one conversion in place in a child process, from a cold cache, and gives the file its
// PoC1 name back (its content is then the other form: the next run restores it).
cell_s timed_in_place(const std::string& path, const plot_spec_s& plot, const std::string& folder,
                      std::uint64_t budget) {
    cell_s cell = timed_child([&] { return convert_in_place_once(path, plot, folder, budget); });
    std::string output = make_output_path(folder, plot.account_id, plot.start_nonce, plot.nonces);
    if (std::rename(output.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "could not give %s its name back\n", output.c_str());
        std::exit(1);
    }
    return cell;
}

double timed_dd(const std::string& source, const std::string& copy) {
    drop_page_cache();
    auto start = std::chrono::steady_clock::now();
    run_shell("dd if=" + source + " of=" + copy + " bs=64M iflag=direct oflag=direct status=none" +
              " && sync");
    double seconds = seconds_since(start);
    unlink(copy.c_str());
    return seconds;
}

struct budget_s {
    const char* name;
    std::uint64_t capacity; // K, nonces
};

std::string size_label(double bytes) {
    char text[32];
    if (bytes >= 1 << 20) {
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1 << 20));
    } else {
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024);
    }
    return text;
}

} // namespace

int main(int argc, char** argv) {
    std::uint64_t gib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4;
    std::string folder = argc > 2 ? argv[2] : "/var/tmp/scoopshift-bench";
    int rounds = argc > 3 ? std::atoi(argv[3]) : 1;
    bool only_in_place = argc > 4 && std::string(argv[4]) == "in-place";
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
    set_log_echo(false);
    set_ui_wake_handler([] { return true; });
    set_message_box_handler([](int, const char* title, const char* text, message_box_kind) {
        std::fprintf(stderr, "[%s] %s\n", title, text);
        return false;
    });
    run_ui_tasks();
    if (!cold_cache_possible()) {
        std::printf("not root: the page cache cannot be dropped, figures are warm-cache ones\n");
    }

    std::uint64_t n = gib << 12; // 4096 nonces of 256 KiB per GiB
    std::vector<plot_spec_s> plots = {{4242, 0, n}, {4243, 0, n - 8}, {4244, 0, n - 1}};
    std::vector<std::string> paths;
    for (const plot_spec_s& plot : plots) {
        std::printf("writing %s\n", poc1_name(plot).c_str());
        std::fflush(stdout);
        paths.push_back(write_poc1_plot(folder, plot));
        if (paths.back().empty()) {
            std::fprintf(stderr, "could not write the plot\n");
            return 1;
        }
    }

    std::string copy = folder + "/copy";
    bool ok = true;
    std::printf("\n%-22s %-14s %9s %8s %8s %12s %12s\n", "plot", "budget", "K", "seconds", "x dd",
                "peak memory", "budget");
    for (std::size_t p = 0; p < plots.size(); ++p) {
        const plot_spec_s& plot = plots[p];
        std::vector<budget_s> budgets = {{"K = N", plot.nonces},
                                         {"K = 1016", 1016},
                                         {"K near N/16", (plot.nonces / 16 + 4) / 8 * 8},
                                         {"K near N/256", plot.nonces / 256 / 8 * 8}};
        if (only_in_place) {
            budgets.clear();
        }
        double dd = 1e30;
        std::vector<cell_s> best(budgets.size(), cell_s{1e30, 0, true});
        std::vector<budget_s> in_place_budgets = {{"in place K = N", plot.nonces},
                                                  {"in place auto", 0}};
        std::vector<cell_s> best_in_place(in_place_budgets.size(), cell_s{1e30, 0, true});
        for (int round = 0; round < rounds; ++round) {
            dd = std::min(dd, timed_dd(paths[p], copy));
            for (std::size_t b = 0; b < budgets.size(); ++b) {
                cell_s cell = timed_conversion(paths[p], plot, folder,
                                               run_options_s{budgets[b].capacity * 384});
                ok = ok && cell.ok;
                if (cell.seconds < best[b].seconds) {
                    best[b] = cell;
                }
            }
            for (std::size_t b = 0; b < in_place_budgets.size(); ++b) {
                for (int twice = 0; twice < 2; ++twice) {
                    cell_s cell =
                        timed_in_place(paths[p], plot, folder, in_place_budgets[b].capacity * 384);
                    ok = ok && cell.ok;
                    if (cell.seconds < best_in_place[b].seconds) {
                        best_in_place[b] = cell;
                    }
                }
            }
        }
        std::string name = "N = " + std::to_string(plot.nonces);
        std::printf("%-22s %-14s %9s %8.2f %8.2f %12s %12s\n", name.c_str(), "dd 64M direct", "",
                    dd, 1.0, "", "");
        for (std::size_t b = 0; b < budgets.size(); ++b) {
            std::uint64_t budget = budgets[b].capacity * 384;
            std::printf("%-22s %-14s %9llu %8.2f %8.2f %12s %12s\n", name.c_str(), budgets[b].name,
                        static_cast<unsigned long long>(budgets[b].capacity), best[b].seconds,
                        best[b].seconds / dd, size_label(best[b].peak_kib * 1024.0).c_str(),
                        size_label(static_cast<double>(budget)).c_str());
        }
        for (std::size_t b = 0; b < in_place_budgets.size(); ++b) {
            const cell_s& cell = best_in_place[b];
            std::uint64_t capacity = in_place_budgets[b].capacity;
            std::printf("%-22s %-14s %9s %8.2f %8.2f %12s %12s\n", name.c_str(),
                        in_place_budgets[b].name,
                        capacity == 0 ? "" : std::to_string(capacity).c_str(), cell.seconds,
                        cell.seconds / dd, size_label(cell.peak_kib * 1024.0).c_str(),
                        capacity == 0 ? "automatic"
                                      : size_label(static_cast<double>(capacity * 384)).c_str());
        }
        std::fflush(stdout);
    }

    // Resuming: a run stopped halfway, then the run that takes it over, against a whole run; and
    // what checkpoints cost, from runs that take one every half second and none at all. A flush
    // costs what the drive (and on a virtual disk, its host) has pending, which swings by several
    // times from one minute to the next: each round pairs the two runs, one right after the
    // other in alternating order, and the median of the rounds' costs counts.
    const plot_spec_s& plot = plots[0];
    double whole = 1e30, tail = 1e30;
    std::vector<double> costs; // seconds per checkpoint, by round
    for (int round = 0; round < rounds; ++round) {
        whole = std::min(whole, timed_conversion(paths[0], plot, folder, {}).seconds);
        ok = timed_conversion(paths[0], plot, folder, {0, 10, 0.5}).ok && ok;
        tail = std::min(tail, timed_conversion(paths[0], plot, folder, {}).seconds);
        auto timed_every = [&](double seconds) {
            return timed_conversion(paths[0], plot, folder, {0, seconds}).seconds;
        };
        double frequent = 0, never = 0;
        if (round % 2 == 0) {
            frequent = timed_every(0.5);
            never = timed_every(1e9);
        } else {
            never = timed_every(1e9);
            frequent = timed_every(0.5);
        }
        costs.push_back((frequent - never) / std::max(1.0, never / 0.5));
        std::printf("checkpoints, round %d: every 0.5 s %.2f s, none %.2f s: %.1f ms each\n",
                    round + 1, frequent, never, costs.back() * 1000);
    }
    std::printf("\nN = %llu, automatic budget: whole run %.2f s, the run after a stop at 50%% "
                "%.2f s (%.2f x the whole run)\n",
                static_cast<unsigned long long>(plot.nonces), whole, tail, tail / whole);
    std::sort(costs.begin(), costs.end());
    std::size_t middle = costs.size() / 2;
    double per_checkpoint =
        costs.size() % 2 == 1 ? costs[middle] : (costs[middle - 1] + costs[middle]) / 2;
    std::printf(
        "checkpoints: the median of %zu rounds %.1f ms each (%.1f to %.1f), %.2f%% of a run "
        "at one every 10 s\n",
        costs.size(), per_checkpoint * 1000, costs.front() * 1000, costs.back() * 1000,
        100 * per_checkpoint / 10);

    for (const std::string& path : paths) {
        unlink(path.c_str());
    }
    unlink(log_path.c_str());
    rmdir(folder.c_str());
    std::printf(
        "\ngoals: runs of 64 KiB or more (K >= 1024) within 1.15 x dd; K near N/256 within "
        "5 x dd; in place within 1.15 x dd; peak memory within the budget + 32 MiB; the run "
        "after a stop at 50%% within 0.6 x a whole run; checkpoints under 2%%\n");
    return ok ? 0 : 1;
}
