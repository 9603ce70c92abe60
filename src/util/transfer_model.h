// A model of spinning disks in simulated time, as a back-end: it shows what a
// schedule of transfers costs on a drive that is not at hand, in seconds and
// without a disk, and gives the same figures every time.
//
// Each disk serves its requests one at a time. A request that does not start
// where the disk's last one ended costs a seek: settle + stroke x sqrt(d /
// capacity) for a distance of d bytes, plus half a turn of rotation; then its
// bytes pass at the transfer rate. A disk serves what it was given in the order
// issued, or (reordering) in elevator order within what it holds: the nearest
// request at or after the head, else the lowest. Disks work in parallel. Time
// passes only while the owner waits: a wait that blocks moves the clock to the
// next completion, one that does not takes only what has ended by now. A flush
// waits until the file's disk has served everything it was given.
//
// Files are placed on the disks when they are made (model_file) and known by
// their path. Unless the model keeps data, it holds none: reads deliver no
// bytes and writes are dropped (the back-end's moves_data is false). Keeping
// data, reads deliver a pattern of the file offset and writes are compared
// with the same pattern.
//
// Threading: a model is driven by one owner thread at a time, through one or
// more back-ends opened from it; its lock guards it against misuse, not for
// sharing the clock between owners.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "util/transfer_backend.h"

struct disk_model_params_s {
    double capacity_bytes = 16e12;
    double rate_bytes_per_second = 200e6;
    double settle_seconds = 0.001;
    double stroke_seconds = 0.015; // a seek over the whole disk, beyond the settle
    double rotation_seconds = 60.0 / 7200 / 2;
    bool reorders = false;
    bool keeps_data = false; // reads deliver model_pattern, writes are checked against it
    bool logs_requests = false;
};

// One request as a disk served it.
struct served_request_s {
    std::uint64_t at = 0; // on the disk
    std::uint64_t length = 0;
    io_direction direction = io_direction::read;
    bool seek = false;
    double start = 0, end = 0; // simulated seconds
};

struct model_disk_s {
    std::uint64_t head = ~std::uint64_t{0}; // where the last request ended; unknown at first
    double free_at = 0;                     // when it has served what it took so far
    std::uint64_t requests = 0, seeks = 0, bytes_read = 0, bytes_written = 0;
    double busy_seconds = 0;
    std::vector<served_request_s> served; // when the model logs requests
};

struct model_placement_s {
    unsigned disk = 0;
    std::uint64_t start = 0; // of the file on its disk
    std::uint64_t bytes = 0;
};

struct disk_model_state_s; // the requests waiting for a disk, and the completions due

struct disk_model_s {
    disk_model_params_s params;
    std::mutex lock;
    double now = 0; // seconds
    std::vector<model_disk_s> disks;
    std::map<std::string, model_placement_s> files;
    std::uint64_t wrong_bytes = 0; // written bytes unlike the pattern, when the model keeps data
    std::shared_ptr<disk_model_state_s> queues;
};

// A model of `disks` disks.
std::shared_ptr<disk_model_s> make_disk_model(const disk_model_params_s& params, unsigned disks);

// A file of `bytes` at byte `start` of disk `disk`, and a handle for it as the engine would open
// it, transfers aligned to `alignment`.
file_handle_s model_file(disk_model_s& model, const std::string& path, unsigned disk,
                         std::uint64_t start, std::uint64_t bytes, std::uint32_t alignment = 4096);

// The byte that a model which keeps data holds at `offset` of any file.
std::uint8_t model_pattern(std::uint64_t offset);

transfer_backend_s model_transfers(std::shared_ptr<disk_model_s> model);
