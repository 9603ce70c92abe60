#include "swizzler/job_pipeline.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <map>
#include <tuple>

#include "swizzler/swizzle.h"
#include "util/log.h"

namespace {

constexpr std::size_t target_file = std::numeric_limits<std::size_t>::max();

struct tile_key_s {
    std::size_t file = 0; // a source's index, or target_file
    std::uint64_t pair = 0;
    run_side side = run_side::low;
    std::uint64_t index = 0; // within the run's tiles
    bool operator<(const tile_key_s& other) const {
        return std::tie(file, pair, side, index) <
               std::tie(other.file, other.pair, other.side, other.index);
    }
};

enum class tile_io { none, reading, writing };

// One tile of a run in memory. An input tile is read from a source and released once every
// byte of its run in it has been exchanged; an output tile is written to the target once every
// byte of its run in it has been produced. In place, one tile is both.
struct tile_s {
    tile_key_s key;
    std::uint8_t* data = nullptr;
    byte_span_s span; // the file's bytes it holds
    byte_span_s run;
    bool input = false;
    bool output = false;
    bool read_done = false;
    std::uint64_t unconsumed = 0; // input only: run bytes still to exchange
    std::uint64_t unfilled = 0;   // output: run bytes still to produce
    tile_io io = tile_io::none;
    std::uint64_t io_offset = 0;
    std::uint64_t io_bytes = 0;
};

// The bytes a run hands on to the next run of its side, in a buffer of its own.
struct carry_s {
    std::uint8_t* data = nullptr;
    byte_span_s span; // the target bytes held; empty when nothing is carried
};

struct pipeline_s {
    swizzler_s* record = nullptr;
    const job_layout_s* layout = nullptr;
    const std::vector<const file_handle_s*>* sources = nullptr;
    const file_handle_s* target = nullptr;
    tile_pool_s* pool = nullptr;
    io_queue_s* queue = nullptr;
    bool in_place = false;
    std::uint64_t reserve = 0; // free buffers that reading ahead leaves for target tiles
    std::map<tile_key_s, tile_s> tiles;
    std::vector<std::uint8_t*> carry_buffers; // taken from the pool for the job
    carry_s low_carry;
    carry_s high_carry[2]; // by the parity of the pair that handed it on
    unsigned in_flight = 0;
    bool failing = false;
    pipeline_result_s result;
    // The carries as the current pair found them, for a checkpoint at its start.
    byte_span_s low_at_pair_start, high_at_pair_start;
    std::vector<std::uint8_t> low_bytes_at_pair_start, high_bytes_at_pair_start;
};

bool needs_carries(const job_layout_s& layout) {
    return layout.nonces * scoop_size % layout.alignment != 0;
}

std::uint64_t carry_tiles(std::uint64_t alignment, std::uint64_t tile_bytes) {
    std::uint64_t per_tile = std::max<std::uint64_t>(tile_bytes / alignment, 1);
    return (3 + per_tile - 1) / per_tile;
}

const file_handle_s& file_of(const pipeline_s& p, std::size_t file) {
    return file == target_file ? *p.target : *(*p.sources)[file];
}

byte_span_s run_of(const pipeline_s& p, const tile_key_s& key) {
    return key.file == target_file ? target_run(*p.layout, key.pair, key.side)
                                   : source_run(*p.layout, key.file, key.pair, key.side);
}

void fail(pipeline_s& p, pipeline_outcome outcome, const std::string& path, std::uint64_t offset,
          int error) {
    if (!p.failing) {
        p.failing = true;
        p.result = {outcome, path, offset, error};
    }
}

void release(pipeline_s& p, tile_s& tile) {
    p.pool->free.push_back(tile.data);
    p.tiles.erase(tile.key);
}

void submit(pipeline_s& p, tile_s& tile, io_direction direction, byte_span_s span) {
    tile.io = direction == io_direction::read ? tile_io::reading : tile_io::writing;
    tile.io_offset = span.begin;
    tile.io_bytes = span.size();
    io_request_s request;
    request.file = &file_of(p, direction == io_direction::read ? tile.key.file : target_file);
    request.direction = direction;
    request.offset = span.begin;
    request.length = span.size();
    request.buffer = tile.data + (span.begin - tile.span.begin);
    request.tag = reinterpret_cast<std::uintptr_t>(&tile);
    submit_io(*p.queue, request);
    ++p.in_flight;
}

// The tile of `key` in `run` when it is there; else a new one (`*made`) with a buffer from the
// pool when more than `keep` buffers are free; else null.
tile_s* find_or_make_tile(pipeline_s& p, const tile_key_s& key, const byte_span_s& run,
                          std::uint64_t keep, bool* made) {
    auto found = p.tiles.find(key);
    if (found != p.tiles.end()) {
        return &found->second;
    }
    if (p.pool->free.size() <= keep) {
        return nullptr;
    }
    tile_s& tile = p.tiles[key];
    tile.key = key;
    tile.data = p.pool->free.back();
    p.pool->free.pop_back();
    tile.span = tile_of(*p.layout, run, key.index);
    tile.run = run;
    *made = true;
    return &tile;
}

// The tile of a run that holds `offset`, made and its read started when it is not there yet.
// Null when no buffer is free beyond `keep` (nothing is started then).
tile_s* input_tile(pipeline_s& p, std::size_t file, std::uint64_t pair, run_side side,
                   std::uint64_t offset, std::uint64_t keep) {
    tile_key_s key{file, pair, side, 0};
    byte_span_s run = run_of(p, key);
    key.index = tile_index(*p.layout, run, offset);
    bool made = false;
    tile_s* there = find_or_make_tile(p, key, run, keep, &made);
    if (!made) {
        return there;
    }
    tile_s& tile = *there;
    tile.input = true;
    tile.output = p.in_place;
    std::uint64_t held = overlap(tile.span, run).size();
    tile.unconsumed = p.in_place ? 0 : held;
    tile.unfilled = p.in_place ? held : 0;
    submit(p, tile, io_direction::read, tile.span);
    return &tile;
}

// The target tile that holds `offset` in the run of (pair, side), made when it is not there yet;
// null when no buffer is free.
tile_s* output_tile(pipeline_s& p, std::uint64_t pair, run_side side, std::uint64_t offset) {
    tile_key_s key{target_file, pair, side, 0};
    byte_span_s run = target_run(*p.layout, pair, side);
    key.index = tile_index(*p.layout, run, offset);
    bool made = false;
    tile_s* there = find_or_make_tile(p, key, run, 0, &made);
    if (!made) {
        return there;
    }
    tile_s& tile = *there;
    tile.output = true;
    tile.unfilled = overlap(tile.span, run).size();
    return &tile;
}

// Starts the reads of every input tile of the chunk; false when the buffers ran out first.
bool request_inputs(pipeline_s& p, const chunk_s& chunk, std::uint64_t keep) {
    for (run_side side : {run_side::low, run_side::high}) {
        byte_span_s bytes = chunk_in_source(*p.layout, chunk, side);
        for (std::uint64_t at = bytes.begin; at < bytes.end;) {
            tile_s* tile = input_tile(p, chunk.source, chunk.pair, side, at, keep);
            if (tile == nullptr) {
                return false;
            }
            at = tile->span.end;
        }
    }
    return true;
}

bool inputs_ready(pipeline_s& p, const chunk_s& chunk) {
    for (run_side side : {run_side::low, run_side::high}) {
        byte_span_s bytes = chunk_in_source(*p.layout, chunk, side);
        byte_span_s run = source_run(*p.layout, chunk.source, chunk.pair, side);
        for (std::uint64_t at = bytes.begin; at < bytes.end;) {
            auto found =
                p.tiles.find({chunk.source, chunk.pair, side, tile_index(*p.layout, run, at)});
            if (found == p.tiles.end() || !found->second.read_done) {
                return false;
            }
            at = found->second.span.end;
        }
    }
    return true;
}

bool request_outputs(pipeline_s& p, const chunk_s& chunk) {
    for (run_side side : {run_side::low, run_side::high}) {
        byte_span_s bytes = chunk_in_target(*p.layout, chunk, side);
        for (std::uint64_t at = bytes.begin; at < bytes.end;) {
            tile_s* tile = output_tile(p, chunk.pair, side, at);
            if (tile == nullptr) {
                return false;
            }
            at = tile->span.end;
        }
    }
    return true;
}

void copy_between(const tile_s& tile, byte_span_s span, std::uint8_t* carry, bool into_tile) {
    std::uint8_t* in_tile = tile.data + (span.begin - tile.span.begin);
    if (into_tile) {
        std::memcpy(in_tile, carry, span.size());
    } else {
        std::memcpy(carry, in_tile, span.size());
    }
}

// Every byte of the tile's run in it is there: take in the carry from the run converted before,
// hand this run's carry on, and write what the tile writes.
void tile_complete(pipeline_s& p, tile_s& tile) {
    const job_layout_s& layout = *p.layout;
    run_side side = tile.key.side;
    std::uint64_t pair = tile.key.pair;
    byte_span_s incoming = overlap(tile.span, carry_in(layout, tile.run, side));
    if (!incoming.empty()) {
        carry_s& carry = side == run_side::low ? p.low_carry : p.high_carry[(pair + 1) % 2];
        bool matches = carry.span.begin == incoming.begin && carry.span.end == incoming.end;
        if (!always(matches, "swizzler", 301)) {
            // Written without its neighbour's bytes the block would be wrong on the disk.
            fail(p, pipeline_outcome::check_failed, p.target->path, incoming.begin, 301);
            return;
        }
        copy_between(tile, incoming, carry.data, true);
    }
    byte_span_s outgoing = overlap(tile.span, carry_out(layout, tile.run, side));
    if (!outgoing.empty()) {
        carry_s& carry = side == run_side::low ? p.low_carry : p.high_carry[pair % 2];
        carry.span = outgoing;
        copy_between(tile, outgoing, carry.data, false);
    }
    byte_span_s written = overlap(tile.span, written_part(layout, tile.run, side));
    if (written.empty()) {
        release(p, tile);
        return;
    }
    p.record->bytes_buffered.fetch_sub(written.size());
    p.record->bytes_in_flight.fetch_add(written.size());
    submit(p, tile, io_direction::write, written);
}

tile_s& tile_at(pipeline_s& p, std::size_t file, std::uint64_t pair, run_side side,
                std::uint64_t offset) {
    tile_key_s key{file, pair, side, 0};
    key.index = tile_index(*p.layout, run_of(p, key), offset);
    return p.tiles.at(key);
}

// Exchanges the halves of one chunk, from its input tiles into its output tiles (the same tiles
// in place), in pieces that cross no tile boundary.
void exchange_chunk(pipeline_s& p, const chunk_s& chunk) {
    byte_span_s in_low = chunk_in_source(*p.layout, chunk, run_side::low);
    byte_span_s in_high = chunk_in_source(*p.layout, chunk, run_side::high);
    byte_span_s out_low = chunk_in_target(*p.layout, chunk, run_side::low);
    byte_span_s out_high = chunk_in_target(*p.layout, chunk, run_side::high);
    std::size_t out_file = p.in_place ? chunk.source : target_file;
    for (std::uint64_t done = 0; done < chunk.count;) {
        std::uint64_t at = done * scoop_size;
        tile_s* pieces[4] = {
            &tile_at(p, chunk.source, chunk.pair, run_side::low, in_low.begin + at),
            &tile_at(p, chunk.source, chunk.pair, run_side::high, in_high.begin + at),
            &tile_at(p, out_file, chunk.pair, run_side::low, out_low.begin + at),
            &tile_at(p, out_file, chunk.pair, run_side::high, out_high.begin + at)};
        std::uint64_t positions[4] = {in_low.begin + at, in_high.begin + at, out_low.begin + at,
                                      out_high.begin + at};
        std::uint64_t count = chunk.count - done;
        std::uint8_t* pointers[4];
        for (int i = 0; i < 4; ++i) {
            count = std::min(count, (pieces[i]->span.end - positions[i]) / scoop_size);
            pointers[i] = pieces[i]->data + (positions[i] - pieces[i]->span.begin);
        }
        swizzle_pair_into(pointers[0], pointers[1], pointers[2], pointers[3], count);
        std::uint64_t bytes = count * scoop_size;
        p.record->bytes_read.fetch_add(2 * bytes);
        p.record->bytes_buffered.fetch_add(2 * bytes);
        done += count;
        // Inputs first: in place the same tile is also the output, counted once below.
        for (int i = 0; i < 2 && !p.in_place; ++i) {
            pieces[i]->unconsumed -= bytes;
            if (pieces[i]->unconsumed == 0) {
                release(p, *pieces[i]);
            }
        }
        for (int i = 2; i < 4; ++i) {
            pieces[i]->unfilled -= bytes;
            if (pieces[i]->unfilled == 0) {
                tile_complete(p, *pieces[i]);
            }
        }
    }
}

// Takes one completion (waiting for it when `block`); false when none was taken.
bool take_completion(pipeline_s& p, bool block) {
    io_completion_s completion;
    if (p.in_flight == 0 || !wait_for_io(*p.queue, &completion, block)) {
        return false;
    }
    --p.in_flight;
    tile_s& tile = *reinterpret_cast<tile_s*>(static_cast<std::uintptr_t>(completion.tag));
    if (tile.io == tile_io::reading) {
        tile.io = tile_io::none;
        tile.read_done = true;
        if (completion.error != 0) {
            const file_handle_s& file = file_of(p, tile.key.file);
            log_message("Failed to read file at offset %llu, error %d\n",
                        static_cast<unsigned long long>(tile.io_offset), completion.error);
            fail(p, pipeline_outcome::read_failed, file.path, tile.io_offset, completion.error);
        }
        return true;
    }
    p.record->bytes_in_flight.fetch_sub(tile.io_bytes);
    if (completion.error != 0) {
        log_message("Failed to write to %s at offset %llu, error %d\n", p.target->path.c_str(),
                    static_cast<unsigned long long>(tile.io_offset), completion.error);
        fail(p, pipeline_outcome::write_failed, p.target->path, tile.io_offset, completion.error);
    } else {
        p.record->bytes_written.fetch_add(tile.io_bytes);
    }
    release(p, tile);
    return true;
}

void take_carry_buffers(pipeline_s& p) {
    if (!needs_carries(*p.layout)) {
        return;
    }
    std::uint64_t per_tile = std::max<std::uint64_t>(p.pool->tile_bytes / p.layout->alignment, 1);
    carry_s* carries[3] = {&p.low_carry, &p.high_carry[0], &p.high_carry[1]};
    for (int i = 0; i < 3; ++i) {
        if (static_cast<std::uint64_t>(i) % per_tile == 0) {
            p.carry_buffers.push_back(p.pool->free.back());
            p.pool->free.pop_back();
        }
        carries[i]->data = p.carry_buffers.back() +
                           (static_cast<std::uint64_t>(i) % per_tile) * p.layout->alignment;
    }
}

// Loads the carries that the pair before the resume point handed on.
void start_from(pipeline_s& p, const pipeline_resume_s& resume) {
    if (resume.first_pair == 0) {
        return;
    }
    carry_s* carries[2] = {&p.low_carry, &p.high_carry[(resume.first_pair - 1) % 2]};
    byte_span_s spans[2] = {resume.low_carry, resume.high_carry};
    const std::uint8_t* bytes[2] = {resume.low_carry_bytes, resume.high_carry_bytes};
    for (int i = 0; i < 2; ++i) {
        carries[i]->span = spans[i];
        if (!spans[i].empty() && carries[i]->data != nullptr) {
            std::memcpy(carries[i]->data, bytes[i], spans[i].size());
        }
    }
}

// Keeps a copy of the carries that pair `pair` starts with.
void remember_carries(pipeline_s& p, std::uint64_t pair) {
    const carry_s& low = p.low_carry;
    const carry_s& high = p.high_carry[(pair + 1) % 2];
    p.low_at_pair_start = low.span;
    p.high_at_pair_start = high.span;
    p.low_bytes_at_pair_start.assign(low.data, low.data + (low.data ? low.span.size() : 0));
    p.high_bytes_at_pair_start.assign(high.data, high.data + (high.data ? high.span.size() : 0));
}

bool writes_pending_before(const pipeline_s& p, std::uint64_t pair) {
    for (const auto& [key, tile] : p.tiles) {
        if (tile.output && key.pair < pair) {
            return true;
        }
    }
    return false;
}

// Records the pairs before `pair`; a checkpoint that fails ends the job.
void take_checkpoint(pipeline_s& p, const checkpoint_fn& checkpoint, std::uint64_t pair) {
    if (!checkpoint) {
        return;
    }
    if (int error = checkpoint(pair, p.low_at_pair_start, p.low_bytes_at_pair_start.data(),
                               p.high_at_pair_start, p.high_bytes_at_pair_start.data())) {
        fail(p, pipeline_outcome::flush_failed, p.target->path, 0, error);
    }
}

} // namespace

void init_tile_pool(tile_pool_s& pool, std::uint8_t* memory, std::uint64_t tile_bytes,
                    std::uint64_t tiles) {
    pool.memory = memory;
    pool.tile_bytes = tile_bytes;
    pool.tiles = tiles;
    pool.free.clear();
    for (std::uint64_t i = tiles; i-- > 0;) {
        pool.free.push_back(memory + i * tile_bytes);
    }
}

std::uint64_t tiles_needed(bool in_place, std::uint64_t alignment, std::uint64_t tile_bytes) {
    // In place a chunk holds one low tile and two high ones (its high bytes may straddle), and
    // as many again keep the next chunk's reads in flight meanwhile; copying adds up to two
    // target tiles on each side.
    return carry_tiles(alignment, tile_bytes) + (in_place ? 6 : 10);
}

pipeline_result_s run_job_pipeline(swizzler_s& record, const job_layout_s& layout,
                                   const std::vector<const file_handle_s*>& sources,
                                   const file_handle_s& target, tile_pool_s& pool,
                                   io_queue_s& queue, const pipeline_resume_s& resume,
                                   const checkpoint_fn& checkpoint,
                                   const checkpoint_interval_s& interval) {
    bool in_place = sources.size() == 1;
    pipeline_s p;
    p.record = &record;
    p.layout = &layout;
    p.sources = &sources;
    p.target = &target;
    p.pool = &pool;
    p.queue = &queue;
    p.in_place = in_place;
    p.reserve = in_place ? 0 : 4;
    take_carry_buffers(p);
    start_from(p, resume);
    remember_carries(p, resume.first_pair);

    chunk_s ahead, next;
    bool reading = first_chunk_of_pair(layout, resume.first_pair, &ahead);
    bool converting = reading;
    next = ahead;
    std::uint64_t pair = resume.first_pair;
    auto last_checkpoint = std::chrono::steady_clock::now();
    std::uint64_t written_at_checkpoint = record.bytes_written.load();
    bool checkpoint_due = false;
    while (converting && !p.failing) {
        if (record.stop.load()) {
            fail(p, pipeline_outcome::stopped, "", 0, 0);
            break;
        }
        if (next.pair != pair) {
            pair = next.pair;
            remember_carries(p, pair);
            std::chrono::duration<double> since =
                std::chrono::steady_clock::now() - last_checkpoint;
            checkpoint_due =
                checkpoint &&
                (since.count() >= interval.seconds ||
                 (interval.bytes > 0 &&
                  record.bytes_written.load() - written_at_checkpoint >= interval.bytes));
        }
        while (reading && request_inputs(p, ahead, p.reserve)) {
            reading = next_chunk(layout, &ahead);
        }
        // Hands what was just submitted to the kernel and takes whatever has finished.
        while (take_completion(p, false)) {
        }
        if (checkpoint_due) {
            if (writes_pending_before(p, pair)) {
                take_completion(p, true);
                continue;
            }
            checkpoint_due = false;
            take_checkpoint(p, checkpoint, pair);
            last_checkpoint = std::chrono::steady_clock::now();
            written_at_checkpoint = record.bytes_written.load();
        }
        bool ready = inputs_ready(p, next) && (p.in_place || request_outputs(p, next));
        if (ready) {
            exchange_chunk(p, next);
            converting = next_chunk(layout, &next);
            continue;
        }
        // The chunk due may wait for buffers that only the reserve can give.
        if (!take_completion(p, true) && !request_inputs(p, next, 0)) {
            // Nothing in flight and no buffer free: the pool's bookkeeping slipped.
            if (!always(false, "swizzler", 330)) {
                fail(p, pipeline_outcome::check_failed, target.path, 0, 330);
            }
        }
    }
    while (p.in_flight > 0) {
        take_completion(p, true);
    }
    // A stopped job keeps what it finished: every write has ended, so the pairs before the one
    // in progress are complete. That pair is `pair`, whose carries were remembered when it
    // began: `next` may already be a pair further on, whose carries were never taken. A finished
    // one records that all of it is there, so that a crash before its final name costs nothing
    // but the rename.
    if (p.failing && p.result.outcome == pipeline_outcome::stopped && converting) {
        take_checkpoint(p, checkpoint, pair);
    } else if (!p.failing && checkpoint) {
        if (int error = checkpoint(scoop_pairs, {}, nullptr, {}, nullptr)) {
            fail(p, pipeline_outcome::flush_failed, target.path, 0, error);
        }
    }
    for (auto& [key, tile] : p.tiles) {
        pool.free.push_back(tile.data);
    }
    p.tiles.clear();
    for (std::uint8_t* buffer : p.carry_buffers) {
        pool.free.push_back(buffer);
    }
    if (p.failing) {
        // What was exchanged and never written is no longer waiting for anything.
        record.bytes_buffered.store(0);
    }
    return p.result;
}
