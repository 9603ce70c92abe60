// Conversions on a model of spinning disks: what the schedule of transfers costs where a seek
// costs, without a disk, in seconds, with the same figures every time.
//
//   bench_disk_model [largest GiB]        (default 1024: plots of 4 GiB, 100 GiB and 1 TiB)
//
// The disk model (util/transfer_model.h): 16 TB disks, 200 MB/s, a seek of 1 ms + 15 ms x
// sqrt(distance / capacity) plus 4.17 ms of rotation wherever a request does not start where the
// disk's last one ended; requests served in the order issued, or (reordering) in elevator order
// within what the disk holds. Whole conversions run through the engine's own pipelines on it:
// copying from a plot at the start of one disk to a target at the start of another, copying on
// one disk to a target right after the plot, and in place on one disk with the journal right
// after the plot. Every transfer of the data path goes to the model; what a job does besides
// (opening, creating, renaming, the 10 s checkpoints of a copying job) is not modelled. The
// model keeps no data, so nothing is exchanged.
//
// Each row is one plot and budget, sized as on a machine with 16 GiB free (the automatic budget
// is then 14.4 GiB), run twice: with the schedule of solid-state drives ("ssd": the many-in-
// flight pattern, and what every drive got before the stretch schedule) and with that of
// spinning drives ("hdd": long ascending stretches, in place in long groups). Printed: the time
// as a multiple of a sequential copy on the same model (dd: 64 MiB reads overlapped with 64 MiB
// writes, to the other disk or, for the copy on one disk, to right after the plot), seeks per
// GiB of plot (on all disks together) and the buffers the run takes. In place, the floor is
// 2.25 x: the plot read and written on one disk, and the journal's quarter.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "catalogue/in_place_journal.h"
#include "catalogue/plot_format.h"
#include "swizzler/buffer_sizing.h"
#include "swizzler/in_place_layout.h"
#include "swizzler/in_place_pipeline.h"
#include "swizzler/job_pipeline.h"
#include "util/page_buffer.h"
#include "util/transfer_model.h"

namespace {

constexpr std::uint64_t gib = std::uint64_t{1} << 30;
constexpr std::uint64_t alignment = 4096;

const memory_status_s machine{16 * gib, 32 * gib};

disk_model_params_s model_params(bool reorders) {
    disk_model_params_s params;
    params.reorders = reorders;
    return params;
}

struct outcome_s {
    double seconds = 0;
    std::uint64_t seeks = 0;
    std::uint64_t buffer_bytes = 0;
    bool ok = false;
};

std::uint64_t seeks_of(const disk_model_s& model) {
    std::uint64_t seeks = 0;
    for (const model_disk_s& disk : model.disks) {
        seeks += disk.seeks;
    }
    return seeks;
}

// Where a copy's target goes: at the start of a second disk, or on the plot's disk right after
// the plot.
file_handle_s copy_target(disk_model_s& model, std::uint64_t bytes, bool one_disk) {
    std::uint64_t after_plot = (bytes + alignment - 1) / alignment * alignment;
    return model_file(model, "target", one_disk ? 0 : 1, one_disk ? after_plot : 0, bytes);
}

// dd from the start of disk 0 to its copy's target: 64 MiB blocks, the next read while the
// last block is written.
double sequential_copy(std::uint64_t bytes, bool one_disk, bool reorders) {
    auto model = make_disk_model(model_params(reorders), one_disk ? 1 : 2);
    file_handle_s source = model_file(*model, "source", 0, 0, bytes);
    file_handle_s target = copy_target(*model, bytes, one_disk);
    transfer_backend_s transfers = model_transfers(model);
    open_transfers(transfers, 4, nullptr);
    constexpr std::uint64_t block = std::uint64_t{64} << 20;
    std::uint64_t blocks = (bytes + block - 1) / block, read = 0, writing = 0;
    auto length = [&](std::uint64_t k) { return std::min(block, bytes - k * block); };
    for (unsigned reading = 0; read < blocks || io_in_flight(transfers) > 0;) {
        while (read < blocks && reading + writing < 2) {
            submit_io(transfers,
                      {&source, io_direction::read, read * block, length(read), nullptr, read * 2});
            ++read;
            ++reading;
        }
        io_completion_s done;
        if (!wait_for_io(transfers, &done, true)) {
            break;
        }
        if (done.tag % 2 == 0) {
            --reading;
            ++writing;
            std::uint64_t k = done.tag / 2;
            submit_io(transfers,
                      {&target, io_direction::write, k * block, length(k), nullptr, done.tag + 1});
        } else {
            --writing;
        }
    }
    close_transfers(transfers);
    return model->now;
}

struct run_memory_s {
    buffer_sizing_s sizing;
    page_buffer_s pages;
    tile_pool_s pool;
};

bool take_memory(run_memory_s& memory, std::uint64_t plot_bytes, std::uint64_t budget,
                 bool rotational) {
    memory.sizing = size_buffers(machine, plot_bytes, budget, false, rotational);
    memory.pages = allocate_pages(memory.sizing.buffer_bytes);
    if (memory.pages.data == nullptr) {
        return false;
    }
    init_tile_pool(memory.pool, memory.pages.data, memory.sizing.tile_bytes, memory.sizing.tiles);
    return true;
}

outcome_s copy_on_model(std::uint64_t nonces, std::uint64_t budget, bool one_disk, bool rotational,
                        bool reorders) {
    outcome_s outcome;
    auto model = make_disk_model(model_params(reorders), one_disk ? 1 : 2);
    std::uint64_t bytes = plot_size(nonces);
    file_handle_s source = model_file(*model, "source", 0, 0, bytes);
    file_handle_s target = copy_target(*model, bytes, one_disk);
    run_memory_s memory;
    if (!take_memory(memory, bytes, budget, rotational)) {
        return outcome;
    }
    job_layout_s layout = make_job_layout({nonces}, alignment, memory.sizing.tile_bytes);
    transfer_backend_s transfers = model_transfers(model);
    open_transfers(transfers, static_cast<unsigned>(memory.sizing.tiles), nullptr);
    swizzler_s record;
    pipeline_result_s result =
        run_job_pipeline(record, layout, {&source}, target, memory.pool, transfers,
                         {rotational, one_disk}, {}, {}, record.checkpoints);
    close_transfers(transfers);
    release_pages(memory.pages);
    outcome.ok = result.outcome == pipeline_outcome::converted &&
                 record.bytes_written.load() == bytes && record.bytes_read.load() == bytes;
    outcome.seconds = model->now;
    outcome.seeks = seeks_of(*model);
    outcome.buffer_bytes = memory.sizing.buffer_bytes;
    return outcome;
}

outcome_s in_place_on_model(std::uint64_t nonces, std::uint64_t budget, bool rotational,
                            bool reorders) {
    outcome_s outcome;
    auto model = make_disk_model(model_params(reorders), 1);
    std::uint64_t bytes = plot_size(nonces);
    run_memory_s memory;
    if (!take_memory(memory, bytes, budget, rotational)) {
        return outcome;
    }
    std::uint64_t most =
        std::min(low_entries(nonces), journal_slot_data_limit / journal_half_bytes);
    in_place_sizing_s sizing =
        size_in_place(memory.sizing.tiles * memory.sizing.tile_bytes, alignment, most, rotational);
    if (sizing.sets == 0) {
        release_pages(memory.pages);
        return outcome;
    }
    in_place_files_s files;
    files.header.plot = {1, 0, nonces, "plot"};
    files.header.slot_data_bytes = journal_slot_data_for(sizing.most_entries);
    file_handle_s plot = model_file(*model, "plot", 0, 0, bytes);
    file_handle_s journal =
        model_file(*model, "journal", 0, bytes, journal_file_bytes(files.header.slot_data_bytes));
    files.plot = &plot;
    files.journal = &journal;
    carve_in_place_buffers(files, sizing, memory.pages.data);
    transfer_backend_s transfers = model_transfers(model);
    open_transfers(transfers, 8, nullptr);
    swizzler_s record;
    in_place_failure_s failure;
    in_place_outcome result = convert_in_place_groups(record, files, transfers, {}, &failure);
    flush_through(transfers, plot); // the last group's high entries, as the job's end does
    close_transfers(transfers);
    release_pages(memory.pages);
    outcome.ok = result == in_place_outcome::converted && record.bytes_written.load() == bytes;
    outcome.seconds = model->now;
    outcome.seeks = seeks_of(*model);
    outcome.buffer_bytes = memory.sizing.buffer_bytes;
    return outcome;
}

std::string size_label(double bytes) {
    char text[32];
    if (bytes >= gib) {
        std::snprintf(text, sizeof text, "%.0f GiB", bytes / gib);
    } else if (bytes >= 1 << 20) {
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1 << 20));
    } else {
        std::snprintf(text, sizeof text, "%.0f KiB", bytes / 1024);
    }
    return text;
}

struct budget_s {
    const char* name;
    std::uint64_t bytes; // 0: automatic
};

} // namespace

int main(int argc, char** argv) {
    std::uint64_t largest = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    auto started = std::chrono::steady_clock::now();
    struct plot_s {
        std::uint64_t nonces;
        std::vector<budget_s> budgets;
    };
    const budget_s smallest{"smallest", smallest_budget(false)}, half_mib{"0.0005 GiB", gib / 2000},
        five_mib{"0.005 GiB", gib / 200}, mib128{"128 MiB", std::uint64_t{128} << 20},
        automatic{"automatic", 0};
    std::vector<plot_s> plots = {
        {16384, {smallest, half_mib, five_mib, mib128, automatic}},
        {16376, {half_mib, five_mib, mib128, automatic}},
        {409600, {five_mib, mib128, automatic}},
        {4194304, {mib128, automatic}},
    };
    bool ok = true;
    for (const char* mode : {"copy", "copy on one disk", "in place"}) {
        bool in_place = mode[0] == 'i';
        bool one_disk = std::string(mode) == "copy on one disk";
        std::printf("\n%s: time as x a sequential copy (in order | reordering), seeks per GiB "
                    "(in order), buffers\n",
                    mode);
        std::printf("%-10s %-9s %-11s | %-15s %-15s | %-13s %-13s | %-9s %-9s\n", "plot", "nonces",
                    "budget", "ssd schedule", "hdd schedule", "seeks/GiB ssd", "seeks/GiB hdd",
                    "mem ssd", "mem hdd");
        for (const plot_s& plot : plots) {
            std::uint64_t bytes = plot_size(plot.nonces);
            if (bytes > largest * gib) {
                continue;
            }
            double dd[2] = {sequential_copy(bytes, one_disk, false),
                            sequential_copy(bytes, one_disk, true)};
            for (const budget_s& budget : plot.budgets) {
                outcome_s cell[2][2]; // [hdd][reorders]
                for (int hdd = 0; hdd < 2; ++hdd) {
                    for (int reorders = 0; reorders < 2; ++reorders) {
                        cell[hdd][reorders] =
                            in_place
                                ? in_place_on_model(plot.nonces, budget.bytes, hdd, reorders)
                                : copy_on_model(plot.nonces, budget.bytes, one_disk, hdd, reorders);
                        ok = ok && cell[hdd][reorders].ok;
                    }
                }
                double plot_gib = static_cast<double>(bytes) / gib;
                std::printf("%-10s %-9llu %-11s | %6.2f | %6.2f %6.2f | %6.2f | %-13.1f %-13.1f | "
                            "%-9s %-9s\n",
                            size_label(static_cast<double>(bytes)).c_str(),
                            static_cast<unsigned long long>(plot.nonces), budget.name,
                            cell[0][0].seconds / dd[0], cell[0][1].seconds / dd[1],
                            cell[1][0].seconds / dd[0], cell[1][1].seconds / dd[1],
                            cell[0][0].seeks / plot_gib, cell[1][0].seeks / plot_gib,
                            size_label(static_cast<double>(cell[0][0].buffer_bytes)).c_str(),
                            size_label(static_cast<double>(cell[1][0].buffer_bytes)).c_str());
                std::fflush(stdout);
            }
        }
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    std::printf(
        "\ngoals, served in order: copy within 1.05 x for 4 GiB and more with the automatic "
        "budget, 1.10 x with 128 MiB; in place within 1.10 x its floor (2.48 x) with the "
        "automatic budget\n%.1f s%s\n",
        took.count(), ok ? "" : "; A RUN FAILED");
    return ok ? 0 : 1;
}
