#include "swizzler/job_pipeline.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <set>
#include <tuple>

#include "swizzler/swizzle.h"
#include "util/log.h"

namespace {

constexpr std::size_t target_file = std::numeric_limits<std::size_t>::max();
// The fewest tiles a stretch may hold: a chunk's low tile and the two high ones it may straddle,
// and as many target tiles.
constexpr std::uint64_t least_stretch_tiles = 4;

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
    bool read_done = false;       // its bytes are all there (read, and copied from another tile)
    bool own_read_done = false;   // its own read has ended
    bool awaiting_copy = false;   // a block of it comes from the tile read before it
    std::vector<tile_s*> feeds;   // tiles read after it that take a block they share from it
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

// The carries as a pair found them when its exchange began.
struct pair_carries_s {
    byte_span_s low, high;
    std::vector<std::uint8_t> low_bytes, high_bytes;
};

struct pipeline_s {
    swizzler_s* record = nullptr;
    const job_layout_s* layout = nullptr;
    const std::vector<const file_handle_s*>* sources = nullptr;
    const file_handle_s* target = nullptr;
    tile_pool_s* pool = nullptr;
    transfer_backend_s* transfers = nullptr;
    bool in_place = false;
    std::uint64_t reserve = 0; // free buffers that reading ahead leaves for target tiles
    std::map<tile_key_s, tile_s> tiles;
    std::vector<std::uint8_t*> carry_buffers; // taken from the pool for the job
    carry_s low_carry;
    carry_s high_carry[2]; // by the parity of the pair that handed it on
    unsigned in_flight = 0;
    bool failing = false;
    // The stretch schedule (stretch_tiles > 0): each stretch's reads go in file order, as
    // admit_stretch allows; its writes go once the previous stretch's writes have ended.
    std::uint64_t stretch_tiles = 0;
    bool one_disk = false;
    unsigned reads_in_flight = 0;
    unsigned writes_in_flight = 0;
    std::deque<chunk_s> stretch_ends; // of the stretches read and not yet exchanged
    std::vector<tile_s*> write_batch; // whole target tiles of the stretch being exchanged
    std::deque<std::vector<tile_s*>> batches_due; // of stretches exchanged, in order
    std::uint64_t stretches_read = 0;
    std::uint64_t stretches_written = 0;
    std::vector<tile_key_s> reads_due; // of the stretch being read, in its order
    std::size_t reads_asked = 0;       // how many of them were started
    tile_s* furthest = nullptr;        // of this stretch, file and side, the tile read furthest
    pipeline_result_s result;
    // The carries as the current pair found them, for a checkpoint at its start.
    pair_carries_s at_pair_start;
    // With stretches a checkpoint waits for the writes of the pairs before it while the exchange
    // goes on: its pair (scoop_pairs when none waits) and the carries that pair found.
    std::uint64_t checkpoint_pair = scoop_pairs;
    pair_carries_s at_checkpoint;
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
    if (p.furthest == &tile) {
        p.furthest = nullptr;
    }
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
    submit_io(*p.transfers, request);
    ++p.in_flight;
    ++(direction == io_direction::read ? p.reads_in_flight : p.writes_in_flight);
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

tile_key_s key_at(const pipeline_s& p, std::size_t file, std::uint64_t pair, run_side side,
                  std::uint64_t offset) {
    tile_key_s key{file, pair, side, 0};
    key.index = tile_index(*p.layout, run_of(p, key), offset);
    return key;
}

// The input tile of `key` when it is there; else a new one, not read yet (`*made`), when more
// than `keep` buffers are free; else null.
tile_s* make_input_tile(pipeline_s& p, const tile_key_s& key, std::uint64_t keep, bool* made) {
    byte_span_s run = run_of(p, key);
    tile_s* there = find_or_make_tile(p, key, run, keep, made);
    if (!*made) {
        return there;
    }
    tile_s& tile = *there;
    tile.input = true;
    tile.output = p.in_place;
    std::uint64_t held = overlap(tile.span, run).size();
    tile.unconsumed = p.in_place ? 0 : held;
    tile.unfilled = p.in_place ? held : 0;
    return &tile;
}

// The tile of a run that holds `offset`, made and its read started when it is not there yet.
// Null when no buffer is free beyond `keep` (nothing is started then).
tile_s* input_tile(pipeline_s& p, std::size_t file, std::uint64_t pair, run_side side,
                   std::uint64_t offset, std::uint64_t keep) {
    bool made = false;
    tile_s* tile = make_input_tile(p, key_at(p, file, pair, side, offset), keep, &made);
    if (made) {
        submit(p, *tile, io_direction::read, tile->span);
    }
    return tile;
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

void write_tile(pipeline_s& p, tile_s& tile, byte_span_s written) {
    p.record->bytes_buffered.fetch_sub(written.size());
    p.record->bytes_in_flight.fetch_add(written.size());
    submit(p, tile, io_direction::write, written);
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
    if (p.stretch_tiles > 0) {
        tile.io_offset = written.begin;
        tile.io_bytes = written.size();
        p.write_batch.push_back(&tile); // written in its stretch's turn
        return;
    }
    write_tile(p, tile, written);
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
        if (p.transfers->moves_data) {
            swizzle_pair_into(pointers[0], pointers[1], pointers[2], pointers[3], count);
        }
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

// Copies the block two neighbouring tiles share from the one read to the one that skipped it.
void copy_shared_block(const tile_s& from, tile_s& to) {
    byte_span_s shared = overlap(from.span, to.span);
    std::memcpy(to.data + (shared.begin - to.span.begin),
                from.data + (shared.begin - from.span.begin), shared.size());
}

// A tile's bytes are all there: hand the block it shares with tiles read after it on.
void bytes_arrived(tile_s& tile) {
    tile.read_done = true;
    std::vector<tile_s*> fed;
    fed.swap(tile.feeds);
    for (tile_s* next : fed) {
        copy_shared_block(tile, *next);
        next->awaiting_copy = false;
        if (next->own_read_done) {
            bytes_arrived(*next);
        }
    }
}

// Takes one completion (waiting for it when `block`); false when none was taken.
bool take_completion(pipeline_s& p, bool block) {
    io_completion_s completion;
    if (p.in_flight == 0 || !wait_for_io(*p.transfers, &completion, block)) {
        return false;
    }
    --p.in_flight;
    tile_s& tile = *reinterpret_cast<tile_s*>(static_cast<std::uintptr_t>(completion.tag));
    --(tile.io == tile_io::reading ? p.reads_in_flight : p.writes_in_flight);
    if (tile.io == tile_io::reading) {
        tile.io = tile_io::none;
        tile.own_read_done = true;
        if (!tile.awaiting_copy) {
            bytes_arrived(tile);
        }
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

// --- the stretch schedule ---------------------------------------------------------------------

// The tiles the chunks from `first` up to `end` read (to the job's end when `to_end`), in the
// order a drive should meet them: file by file, in each file one side and then the other, each
// ascending; the high side first when `high_first`.
std::vector<tile_key_s> stretch_inputs(const pipeline_s& p, chunk_s chunk, const chunk_s& end,
                                       bool to_end, bool high_first) {
    std::set<tile_key_s> keys;
    for (bool more = true; more && (to_end || !same_chunk(chunk, end));) {
        for (run_side side : {run_side::low, run_side::high}) {
            byte_span_s bytes = chunk_in_source(*p.layout, chunk, side);
            byte_span_s run = source_run(*p.layout, chunk.source, chunk.pair, side);
            for (std::uint64_t at = bytes.begin; at < bytes.end;) {
                tile_key_s key = key_at(p, chunk.source, chunk.pair, side, at);
                keys.insert(key);
                at = tile_of(*p.layout, run, key.index).end;
            }
        }
        more = next_chunk(*p.layout, &chunk);
    }
    std::vector<tile_key_s> ordered(keys.begin(), keys.end());
    auto place = [&p, high_first](const tile_key_s& key) {
        bool later_side = (key.side == run_side::high) != high_first;
        return std::tuple(key.file, later_side,
                          tile_of(*p.layout, run_of(p, key), key.index).begin);
    };
    std::stable_sort(ordered.begin(), ordered.end(),
                     [&](const tile_key_s& a, const tile_key_s& b) { return place(a) < place(b); });
    return ordered;
}

// Goes on reading the stretch being read, in its order, as far as free tiles allow. Where the
// hulls of two runs that follow each other share a block, only the first tile reads it and the
// second takes it from the first: a drive then meets every read where the one before ended.
void continue_reads(pipeline_s& p) {
    while (p.reads_asked < p.reads_due.size()) {
        const tile_key_s& key = p.reads_due[p.reads_asked];
        bool made = false;
        tile_s* tile = make_input_tile(p, key, 0, &made);
        if (tile == nullptr) {
            return; // on when a tile is free again
        }
        ++p.reads_asked;
        if (!made) {
            p.furthest = nullptr; // read by the stretch before
            continue;
        }
        // The tiles of one side come in the order of their beginnings, so a block this tile
        // shares with those before it lies in the one read furthest.
        byte_span_s span = tile->span;
        tile_s* before = p.furthest;
        if (before != nullptr && before->key.file == key.file && before->key.side == key.side &&
            before->span.begin <= span.begin && before->span.end > span.begin) {
            span.begin = std::min(before->span.end, span.end);
            if (before->read_done) {
                copy_shared_block(*before, *tile);
            } else {
                tile->awaiting_copy = true;
                before->feeds.push_back(tile);
            }
        }
        if (before == nullptr || before->key.file != key.file || before->key.side != key.side ||
            tile->span.end > before->span.end) {
            p.furthest = tile;
        }
        if (!span.empty()) {
            submit(p, *tile, io_direction::read, span);
        } else if (tile->awaiting_copy) {
            tile->own_read_done = true; // every byte of it comes from the tile before
        } else {
            bytes_arrived(*tile);
        }
    }
}

// Starts reading the next stretch when its drives may take it, once the last one's reads have
// all gone out; a merged job's next stretch only once the last one is exchanged (its target
// tiles need the room). Across two disks, one stretch's reads at a time (a drive given two would
// serve the next one's low side before this one's high side); they go on as the tiles of the
// stretch being written come free. On one disk a stretch's reads go whole, queued behind the
// writes of the stretches exchanged before; in a job of one plot also while the last one is
// still read or exchanged (two at most), so that the disk holds the next stretch's reads while
// one is exchanged. With one stretch at a time it waited idle for every exchange: half as fast
// on a disk that serves many requests at once, and no fewer seeks on one that serves in order.
bool admit_stretch(pipeline_s& p, chunk_s* ahead, bool* reading) {
    continue_reads(p);
    bool two_read = p.one_disk && p.in_place;
    if (!*reading || (!two_read && p.reads_in_flight > 0) || p.reads_asked < p.reads_due.size() ||
        (!p.in_place && !p.stretch_ends.empty())) {
        return false;
    }
    if (p.one_disk && (!p.batches_due.empty() || p.stretch_ends.size() >= (two_read ? 2u : 1u))) {
        return false; // the last stretch's writes go first
    }
    chunk_s end;
    bool more = next_stretch(*p.layout, p.stretch_tiles, *ahead, &end);
    // Every other stretch begins with its high side: where the last one ended, on the same side,
    // when the stretches are parts of one pair (both sides then go up), and where the next one
    // begins otherwise (low sides go up from stretch to stretch): a seek saved either way.
    bool high_first = p.stretches_read % 2 == 1;
    std::vector<tile_key_s> keys = stretch_inputs(p, *ahead, end, !more, high_first);
    if (p.one_disk) {
        // Its reads go whole, queued behind the writes, not one by one between them.
        auto missing = static_cast<std::uint64_t>(
            std::count_if(keys.begin(), keys.end(),
                          [&p](const tile_key_s& key) { return p.tiles.count(key) == 0; }));
        if (missing > p.pool->free.size()) {
            return false;
        }
    }
    ++p.stretches_read;
    p.reads_due = std::move(keys);
    p.reads_asked = 0;
    p.furthest = nullptr;
    if (!more) {
        end.pair = scoop_pairs; // no chunk is there: the last stretch ends with the job
    }
    p.stretch_ends.push_back(end);
    *ahead = end;
    *reading = more;
    continue_reads(p);
    return true;
}

// Writes the next exchanged stretch's target tiles, in file order, once the last stretch's
// writes have ended; every one of them when `all`.
void write_due_batches(pipeline_s& p, bool all) {
    while (!p.batches_due.empty() && (all || p.writes_in_flight == 0)) {
        std::vector<tile_s*> batch = std::move(p.batches_due.front());
        p.batches_due.pop_front();
        bool high_first = p.stretches_written++ % 2 == 1; // as the stretch was read
        auto place = [high_first](const tile_s* tile) {
            return std::pair((tile->key.side == run_side::high) != high_first, tile->io_offset);
        };
        std::sort(batch.begin(), batch.end(),
                  [&](const tile_s* a, const tile_s* b) { return place(a) < place(b); });
        for (tile_s* tile : batch) {
            write_tile(p, *tile, {tile->io_offset, tile->io_offset + tile->io_bytes});
        }
    }
}

// The stretch being exchanged is over: its target tiles wait for their turn.
void close_stretch(pipeline_s& p) {
    p.batches_due.push_back(std::move(p.write_batch));
    p.write_batch.clear();
    if (!p.stretch_ends.empty()) {
        p.stretch_ends.pop_front();
    }
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
    p.at_pair_start.low = low.span;
    p.at_pair_start.high = high.span;
    p.at_pair_start.low_bytes.assign(low.data, low.data + (low.data ? low.span.size() : 0));
    p.at_pair_start.high_bytes.assign(high.data, high.data + (high.data ? high.span.size() : 0));
}

bool writes_pending_before(const pipeline_s& p, std::uint64_t pair) {
    for (const auto& [key, tile] : p.tiles) {
        if (tile.output && key.pair < pair) {
            return true;
        }
    }
    return false;
}

// Records the pairs before `pair`, which found `carries`; a checkpoint that fails ends the job.
void take_checkpoint(pipeline_s& p, const checkpoint_fn& checkpoint, std::uint64_t pair,
                     const pair_carries_s& carries) {
    if (!checkpoint) {
        return;
    }
    if (int error = checkpoint(pair, carries.low, carries.low_bytes.data(), carries.high,
                               carries.high_bytes.data())) {
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

std::uint64_t stretch_tiles_of(const tile_pool_s& pool, const job_layout_s& layout,
                               const pipeline_schedule_s& schedule) {
    if (!schedule.stretches) {
        return 0;
    }
    // Across two disks a stretch is read into the tiles the one before it frees as it is written,
    // so one stretch may take the pool but for the carries' buffers and a tile at each end that
    // a neighbouring stretch shares. On one disk the next stretch's reads queue up whole behind
    // the last one's writes, and a merged job's stretch has target tiles apart from its
    // sources': half as much.
    std::uint64_t carries =
        needs_carries(layout) ? carry_tiles(layout.alignment, pool.tile_bytes) : 0;
    std::uint64_t room = pool.tiles > carries + 2 ? pool.tiles - carries - 2 : 0;
    room = layout.source_nonces.size() == 1 && !schedule.one_disk ? room : room / 2;
    bool long_enough = room * pool.tile_bytes >= schedule.least_stretch_bytes;
    return room >= least_stretch_tiles && long_enough ? room : 0;
}

bool next_stretch(const job_layout_s& layout, std::uint64_t stretch_tiles, const chunk_s& first,
                  chunk_s* end) {
    // The first stretch is read with nothing to overlap it, and the last one written so: a
    // stretch takes at most a 32nd of the job (a small plot gains less from long stretches than
    // it loses waiting for its first one), and the last ones halve what is left.
    bool merged = layout.source_nonces.size() > 1;
    std::uint64_t per_pair = tiles_of_pair(layout, first.pair, merged);
    std::uint64_t left = (scoop_pairs - first.pair) * per_pair;
    std::uint64_t most = std::min({stretch_tiles, scoop_pairs * per_pair / 32, left / 2});
    return stretch_end(layout, first, std::max(most, least_stretch_tiles), merged, end);
}

pipeline_result_s run_job_pipeline(swizzler_s& record, const job_layout_s& layout,
                                   const std::vector<const file_handle_s*>& sources,
                                   const file_handle_s& target, tile_pool_s& pool,
                                   transfer_backend_s& transfers,
                                   const pipeline_schedule_s& schedule,
                                   const pipeline_resume_s& resume, const checkpoint_fn& checkpoint,
                                   const checkpoint_interval_s& interval) {
    bool in_place = sources.size() == 1;
    pipeline_s p;
    p.record = &record;
    p.layout = &layout;
    p.sources = &sources;
    p.target = &target;
    p.pool = &pool;
    p.transfers = &transfers;
    p.in_place = in_place;
    p.reserve = in_place ? 0 : 4;
    p.stretch_tiles = stretch_tiles_of(pool, layout, schedule);
    p.one_disk = schedule.one_disk;
    bool stretches = p.stretch_tiles > 0;
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
        // A pair just begun is remembered first: a stop records its carries.
        if (next.pair != pair) {
            pair = next.pair;
            remember_carries(p, pair);
            std::chrono::duration<double> since =
                std::chrono::steady_clock::now() - last_checkpoint;
            checkpoint_due =
                checkpoint && p.checkpoint_pair == scoop_pairs &&
                (since.count() >= interval.seconds ||
                 (interval.bytes > 0 &&
                  record.bytes_written.load() - written_at_checkpoint >= interval.bytes));
            if (checkpoint_due && stretches) {
                // The pairs before go out in their stretches' turns, maybe with pairs after:
                // the checkpoint waits for them as the exchange goes on.
                p.checkpoint_pair = pair;
                p.at_checkpoint = p.at_pair_start;
                checkpoint_due = false;
            }
        }
        if (record.stop.load()) {
            fail(p, pipeline_outcome::stopped, "", 0, 0);
            break;
        }
        if (stretches) {
            admit_stretch(p, &ahead, &reading);
            write_due_batches(p, false);
        } else {
            while (reading && request_inputs(p, ahead, p.reserve)) {
                reading = next_chunk(layout, &ahead);
            }
        }
        // Hands what was just submitted to the kernel and takes whatever has finished.
        while (take_completion(p, false)) {
        }
        bool waited_for = p.checkpoint_pair != scoop_pairs;
        if (checkpoint_due || waited_for) {
            std::uint64_t at = waited_for ? p.checkpoint_pair : pair;
            if (writes_pending_before(p, at)) {
                if (checkpoint_due) {
                    take_completion(p, true);
                    continue;
                }
            } else {
                checkpoint_due = false;
                p.checkpoint_pair = scoop_pairs;
                take_checkpoint(p, checkpoint, at, waited_for ? p.at_checkpoint : p.at_pair_start);
                last_checkpoint = std::chrono::steady_clock::now();
                written_at_checkpoint = record.bytes_written.load();
            }
        }
        bool ready = inputs_ready(p, next) && (p.in_place || request_outputs(p, next));
        if (ready) {
            exchange_chunk(p, next);
            converting = next_chunk(layout, &next);
            if (stretches && (!converting || (!p.stretch_ends.empty() &&
                                              same_chunk(next, p.stretch_ends.front())))) {
                close_stretch(p);
            }
            continue;
        }
        if (take_completion(p, true)) {
            continue;
        }
        // Nothing in flight: the chunk due may wait for buffers that only the reserve can give,
        // or for its stretch to be read.
        bool moved = false;
        if (stretches) {
            moved = admit_stretch(p, &ahead, &reading);
            write_due_batches(p, false);
            moved = moved || p.in_flight > 0;
        } else {
            moved = request_inputs(p, next, 0);
        }
        // Nothing in flight and no buffer free: the pool's bookkeeping slipped.
        if (!moved && !always(false, "swizzler", 330)) {
            fail(p, pipeline_outcome::check_failed, target.path, 0, 330);
        }
    }
    if (stretches && (!p.failing || p.result.outcome == pipeline_outcome::stopped)) {
        // Whatever was exchanged is written, also when stopped: the pairs before the one in
        // progress are then complete on the disk, as a checkpoint says.
        if (!p.write_batch.empty()) {
            close_stretch(p);
        }
        write_due_batches(p, p.failing);
    }
    while (p.in_flight > 0 || (!p.failing && !p.batches_due.empty())) {
        write_due_batches(p, false);
        take_completion(p, true);
    }
    // A stopped job keeps what it finished: every write has ended, so the pairs before the one
    // in progress are complete. That pair is `pair`, whose carries were remembered when it
    // began: `next` may already be a pair further on, whose carries were never taken. A finished
    // one records that all of it is there, so that a crash before its final name costs nothing
    // but the rename.
    if (p.failing && p.result.outcome == pipeline_outcome::stopped && converting) {
        take_checkpoint(p, checkpoint, pair, p.at_pair_start);
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
