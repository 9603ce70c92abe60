// The progress record of a copying job: how much of its target is converted
// and on the device, kept beside the target (its temporary name + ".progress")
// so that an interrupted job can go on where it stopped.
//
// A record is trusted only when it is whole (its checksum holds) and when it
// describes the same work: the same sources (names, sizes, modification
// times), the same target file (inode, birth time where the file system keeps
// one, size) and the same layout. It is written only after the data it
// describes has been flushed, into one of two slots in turn, each flushed on
// its own, so that a write torn by a power cut leaves the previous record
// intact. A missing, torn or foreign record means "start the job over".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "swizzler/job_layout.h"
#include "util/file_handle.h"
#include "util/transfer_backend.h"

struct progress_source_s {
    std::string name; // the file name, without its folder
    std::uint64_t nonces = 0;
    std::uint64_t bytes = 0;
    std::int64_t modified_ns = 0;
};

// What the record says; `sequence` orders the two slots.
struct progress_record_s {
    std::uint64_t sequence = 0;
    std::uint64_t nonces = 0;    // the target's
    std::uint64_t alignment = 0; // of the layout the carries belong to
    std::uint64_t target_inode = 0;
    std::int64_t target_born_ns = 0; // 0 where the file system keeps no birth time
    std::vector<progress_source_s> sources;
    std::uint64_t pairs_done = 0; // every target byte of pairs before this one is on the device
    byte_span_s low_carry;        // what the last pair done hands on, on each side
    std::vector<std::uint8_t> low_carry_bytes;
    byte_span_s high_carry;
    std::vector<std::uint8_t> high_carry_bytes;
};

// Where the record of the target at `temporary_path` lives.
std::string progress_record_path(const std::string& temporary_path);

enum class record_found {
    none,      // no file of that name
    whole,     // *record holds the newest whole slot
    unusable,  // a file, but torn, foreign or unreadable: it proves nothing
    not_plain, // a symbolic link, or a file whose data another name shares: never touched
};

// The newest whole record in the file at path, read without following a link.
record_found load_progress_record(const std::string& path, progress_record_s* record);

// Writes the record into the slot the newest one is not in, then flushes the file; false with
// *error = errno (ELOOP: a link or a shared file is in the record's place). A new file is
// created exclusively, and no file is opened through a link. Bumps record->sequence. Announces
// "progress written" to `transfers` between the write and the flush.
[[nodiscard]] bool store_progress_record(const std::string& path, progress_record_s* record,
                                         int* error, transfer_backend_s& transfers);

// Removes the record (or a link in its place); false when a record is there and stays.
bool remove_progress_record(const std::string& path);

// The identity of a source and of the target, as a record keeps them.
progress_source_s describe_source(const file_handle_s& source, std::uint64_t nonces);
void describe_target(const file_handle_s& target, progress_record_s* record);

// Whether `stored` describes the same work as `now` (pairs and carries aside); *why says what
// differs when not.
bool same_work(const progress_record_s& stored, const progress_record_s& now, std::string* why);
