// Where the data of one job lies, cut into the transfers and chunks the engine
// moves it in.
//
// A job writes one target of N nonces from sources of N_j nonces, the target's
// nonces T_j onwards coming from source j. For each scoop pair s (with p =
// 4095 - s) every file has two runs: the low run of scoop s and the high run of
// scoop p, N_j * 64 bytes each in source j and N * 64 bytes in the target.
//
// Every transfer starts and ends on the job's alignment A (a power of two that
// divides 128 KiB, hence every run boundary of the form k * N * 128 KiB and
// every file's end): a run is read and written in tiles, pieces of at most
// tile_bytes cut from its aligned hull [down(begin), up(end)). Reading a hull's
// edge blocks reads a little of the neighbouring runs, which is harmless. On
// the target, the block shared by two neighbouring runs cannot be written until
// both runs' bytes are in it: the run converted first hands its part of that
// block on as a carry, which the other run's edge tile takes in before it is
// written. The low runs follow each other (s, s + 1, ...) so the low carry goes
// forward; the high runs go backwards (p, p - 1, ...) so the high carry holds
// the head of run p for the tail tile of run p - 1. No transfer is ever
// unaligned, and every target byte is written exactly once.
//
// A chunk is what the engine exchanges in one step: the nonces of one source in
// one pair whose low-run bytes lie in one tile of that source's low run.
//
// A stretch is a run of consecutive chunks that a spinning drive reads (and the
// target is written) as one long ascending piece per side: as many whole pairs
// as a given number of tiles holds (their low runs follow each other in every
// file, and so do their high runs), or, where one pair is more than that, the
// chunks of one pair that fit (then both sides are parts of one run each).
#pragma once

#include <cstdint>
#include <vector>

struct byte_span_s {
    std::uint64_t begin = 0;
    std::uint64_t end = 0; // one past the last byte
    std::uint64_t size() const { return end > begin ? end - begin : 0; }
    bool empty() const { return end <= begin; }
};

// The overlap of two spans (empty when they do not meet).
byte_span_s overlap(byte_span_s a, byte_span_s b);

enum class run_side { low, high };

struct job_layout_s {
    std::uint64_t nonces = 0;                 // N, the target's
    std::vector<std::uint64_t> source_nonces; // N_j
    std::vector<std::uint64_t> first_nonce;   // T_j, the target nonce of source j's first
    std::uint64_t alignment = 4096;           // A
    std::uint64_t tile_bytes = 4096;          // a multiple of A
};

// The layout of a target of the given sources; alignment and tile size as given (the tile size
// rounded down to a multiple of the alignment, at least one alignment).
job_layout_s make_job_layout(const std::vector<std::uint64_t>& source_nonces,
                             std::uint64_t alignment, std::uint64_t tile_bytes);

// Run of pair `pair` on one side in source `source`.
byte_span_s source_run(const job_layout_s& layout, std::size_t source, std::uint64_t pair,
                       run_side side);

// Run of pair `pair` on one side in the target (all sources' parts).
byte_span_s target_run(const job_layout_s& layout, std::uint64_t pair, run_side side);

// The aligned hull of a run, and its tiles: tile k is [hull.begin + k * tile, ...) within it.
byte_span_s hull_of(const job_layout_s& layout, byte_span_s run);
std::uint64_t tile_count(const job_layout_s& layout, byte_span_s run);
byte_span_s tile_of(const job_layout_s& layout, byte_span_s run, std::uint64_t index);
std::uint64_t tile_index(const job_layout_s& layout, byte_span_s run, std::uint64_t offset);

// The part of a target run's hull that its own tiles write (the rest is carried).
byte_span_s written_part(const job_layout_s& layout, byte_span_s run, run_side side);

// The bytes a target run's edge tile takes from the run converted before it, and the bytes of
// this run it hands on to the run converted after it.
byte_span_s carry_in(const job_layout_s& layout, byte_span_s run, run_side side);
byte_span_s carry_out(const job_layout_s& layout, byte_span_s run, run_side side);

// One step of the exchange: nonces [first, first + count) of source `source` in pair `pair`.
struct chunk_s {
    std::uint64_t pair = 0;
    std::size_t source = 0;
    std::uint64_t first = 0; // within the source
    std::uint64_t count = 0;
};

// The job's first chunk; false for a job without nonces.
bool first_chunk(const job_layout_s& layout, chunk_s* chunk);

// The first chunk of pair `pair`; false for a job without nonces or past the last pair.
bool first_chunk_of_pair(const job_layout_s& layout, std::uint64_t pair, chunk_s* chunk);

// The chunk after *chunk (pairs in order, then sources, then nonces); false after the last.
bool next_chunk(const job_layout_s& layout, chunk_s* chunk);

// The bytes of a chunk on one side: in its source, and in the target.
byte_span_s chunk_in_source(const job_layout_s& layout, const chunk_s& chunk, run_side side);
byte_span_s chunk_in_target(const job_layout_s& layout, const chunk_s& chunk, run_side side);

// The tiles of the runs of one pair: of every source, and of the target when
// `target_tiles_of_its_own` (the larger count counts).
std::uint64_t tiles_of_pair(const job_layout_s& layout, std::uint64_t pair,
                            bool target_tiles_of_its_own);

// Whether two chunks are the same step.
bool same_chunk(const chunk_s& a, const chunk_s& b);

// The stretch that starts at chunk `first`, holding at most `tiles` tiles of the sources (and as
// many of the target, when `target_tiles_of_its_own`: a merged job's target has tiles apart from
// its sources'), but at least one chunk. *end is the chunk after its last; false when the
// stretch runs to the end of the job.
bool stretch_end(const job_layout_s& layout, const chunk_s& first, std::uint64_t tiles,
                 bool target_tiles_of_its_own, chunk_s* end);
