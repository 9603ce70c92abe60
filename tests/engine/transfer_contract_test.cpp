// The contract every transfer back-end keeps, run for each of them: io_uring, the I/O threads,
// synchronous, the program's automatic choice, files in memory, the disk model (in order and
// reordering) and the two wrappers. Then what only real files show: places where direct I/O is
// refused or misreported, a full volume, a kernel that refuses io_uring.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <limits>
#include <random>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "support/small_volume.h"
#include "support/temp_folder.h"
#include "util/page_buffer.h"
#include "util/transfer_crash_points.h"
#include "util/transfer_faults.h"
#include "util/transfer_memory.h"
#include "util/transfer_model.h"
#include "util/transfer_synchronous.h"
#include "util/transfer_threads.h"
#include "util/transfer_uring.h"

namespace {

constexpr unsigned depth = 16;
constexpr std::uint64_t slot_bytes = 256 << 10;

enum class kind { real, memory, model };

// A back-end to put to the contract, and where its files live.
struct backend_case_s {
    const char* name;
    kind files;
    bool reorders = false; // the model's drive
    std::function<transfer_backend_s(std::shared_ptr<memory_files_s>,
                                     std::shared_ptr<disk_model_s>)>
        make;
};

void PrintTo(const backend_case_s& backend, std::ostream* out) {
    *out << backend.name;
}

std::uint8_t pattern(std::uint64_t at, unsigned generation) {
    return static_cast<std::uint8_t>((at * 131) ^ (at >> 9) ^ (at >> 17) ^ (generation * 77));
}

struct op_s {
    io_direction direction;
    std::uint64_t offset, length;
    unsigned shift; // of the buffer from a page boundary
};

// Every op's error (-1: never completed), how often its tag came back, and the bytes that
// completed reads brought wrong.
struct traffic_s {
    std::vector<int> error;
    std::vector<int> returned;
    std::uint64_t wrong_bytes = 0;
};

using pattern_fn = std::function<std::uint8_t(std::uint64_t at, unsigned generation)>;

// Runs the ops through the back-end, keeping it as full as it may be. Writes write
// `generation`; reads expect `read_generation` (0: the same).
traffic_s run_ops(transfer_backend_s& queue, const file_handle_s& file,
                  const std::vector<op_s>& ops, const pattern_fn& bytes, unsigned generation,
                  unsigned read_generation = 0) {
    read_generation = read_generation != 0 ? read_generation : generation;
    traffic_s result{std::vector<int>(ops.size(), -1), std::vector<int>(ops.size(), 0), 0};
    page_buffer_s memory = allocate_pages(slot_bytes * queue.depth);
    std::vector<unsigned> free_slots, slot_of(ops.size());
    for (unsigned i = 0; i < queue.depth; ++i) {
        free_slots.push_back(i);
    }
    std::size_t next = 0;
    while (next < ops.size() || io_in_flight(queue) > 0) {
        while (next < ops.size() && io_in_flight(queue) < queue.depth) {
            const op_s& op = ops[next];
            slot_of[next] = free_slots.back();
            free_slots.pop_back();
            std::uint8_t* buffer = memory.data + slot_of[next] * slot_bytes + op.shift;
            for (std::uint64_t i = 0; i < op.length; ++i) {
                buffer[i] =
                    op.direction == io_direction::write ? bytes(op.offset + i, generation) : 0xee;
            }
            submit_io(queue, {&file, op.direction, op.offset, op.length, buffer, next});
            ++next;
        }
        io_completion_s done;
        if (!wait_for_io(queue, &done, false) && !wait_for_io(queue, &done, true)) {
            ADD_FAILURE() << io_in_flight(queue) << " in flight but no completion came";
            break;
        }
        if (done.tag >= ops.size() || ++result.returned[done.tag] > 1) {
            ADD_FAILURE() << "tag " << done.tag << " came back unasked or twice";
            continue;
        }
        const op_s& op = ops[done.tag];
        result.error[done.tag] = done.error;
        const std::uint8_t* buffer = memory.data + slot_of[done.tag] * slot_bytes + op.shift;
        for (std::uint64_t i = 0;
             done.error == 0 && op.direction == io_direction::read && i < op.length; ++i) {
            result.wrong_bytes += buffer[i] != bytes(op.offset + i, read_generation);
        }
        free_slots.push_back(slot_of[done.tag]);
    }
    io_completion_s extra;
    EXPECT_FALSE(wait_for_io(queue, &extra, true)) << "a completion after all were taken";
    release_pages(memory);
    return result;
}

// The real file's bytes in [from, to) that differ from `generation`, read without a back-end.
std::uint64_t real_bytes_unlike(const std::string& path, std::uint64_t from, std::uint64_t to,
                                unsigned generation) {
    int fd = open(path.c_str(), O_RDONLY);
    std::vector<std::uint8_t> data(to - from);
    std::uint64_t wrong = to - from;
    if (fd >= 0 && pread(fd, data.data(), data.size(), static_cast<off_t>(from)) ==
                       static_cast<ssize_t>(data.size())) {
        wrong = 0;
        for (std::uint64_t i = 0; i < data.size(); ++i) {
            wrong += data[i] != pattern(from + i, generation);
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    return wrong;
}

std::string skip_reason(const std::string& name, const std::string& why) {
    return name + " cannot be opened here: " + why;
}

class transfer_contract : public ::testing::TestWithParam<backend_case_s> {
  protected:
    temp_folder_s folder;
    std::shared_ptr<memory_files_s> store = std::make_shared<memory_files_s>();
    std::shared_ptr<disk_model_s> model;
    transfer_backend_s queue;
    std::vector<file_handle_s> real_files;

    void SetUp() override {
        disk_model_params_s params;
        params.keeps_data = true;
        params.reorders = GetParam().reorders;
        model = make_disk_model(params, 2);
        std::string why;
        if (!open_fresh(queue, &why)) {
            GTEST_SKIP() << skip_reason(GetParam().name, why);
        }
    }
    void TearDown() override {
        close_transfers(queue);
        for (file_handle_s& file : real_files) {
            close_file_handle(file);
        }
    }

    bool open_fresh(transfer_backend_s& backend, std::string* why) {
        backend = GetParam().make(store, model);
        return open_transfers(backend, depth, why);
    }

    // What a file holds at `at` once `generation` was written there (the model knows only one
    // pattern).
    std::uint8_t expected(std::uint64_t at, unsigned generation) const {
        return GetParam().files == kind::model ? model_pattern(at) : pattern(at, generation);
    }
    pattern_fn bytes() const {
        return [this](std::uint64_t at, unsigned generation) { return expected(at, generation); };
    }

    // A file of `size` bytes of `generation` where the back-end keeps its files.
    file_handle_s file_of(const std::string& name, std::uint64_t size, unsigned generation,
                          unsigned disk = 0) {
        std::string path = folder.path + "/" + name;
        std::vector<std::uint8_t> data(size);
        for (std::uint64_t i = 0; i < size; ++i) {
            data[i] = expected(i, generation);
        }
        switch (GetParam().files) {
        case kind::memory: {
            file_handle_s file = memory_file(*store, path, 0);
            std::lock_guard hold(store->lock);
            store->files[path] = data;
            return file;
        }
        case kind::model:
            return model_file(*model, path, disk, disk == 0 ? 0 : std::uint64_t{1} << 40, size);
        case kind::real:
            break;
        }
        file_handle_s file;
        EXPECT_EQ(open_file_handle(path, O_RDWR | O_CREAT, 0644, &file), 0);
        EXPECT_EQ(pwrite(file.fd, data.data(), size, 0), static_cast<ssize_t>(size));
        real_files.push_back(file);
        return file;
    }

    // The file's bytes in [from, to) that differ from `generation`; for the model, which keeps
    // nothing, every written byte that differed from its pattern.
    std::uint64_t bytes_unlike(const file_handle_s& file, std::uint64_t from, std::uint64_t to,
                               unsigned generation) {
        switch (GetParam().files) {
        case kind::memory: {
            std::vector<std::uint8_t> data = memory_file_bytes(*store, file.path);
            std::uint64_t wrong = data.size() < to ? to - from : 0;
            for (std::uint64_t i = from; i < to && i < data.size(); ++i) {
                wrong += data[i] != pattern(i, generation);
            }
            return wrong;
        }
        case kind::model:
            return model->wrong_bytes;
        case kind::real:
            break;
        }
        return real_bytes_unlike(file.path, from, to, generation);
    }
};

TEST_P(transfer_contract, hundreds_of_transfers_in_flight_move_exactly_their_bytes) {
    // The first half in pieces of every alignment, written in shuffled order; then the second
    // half while the first is read back; then reads all over, many of them fully aligned.
    constexpr std::uint64_t size = (2 << 20) + 123, half = 1 << 20;
    file_handle_s file = file_of("traffic", size, 0);
    std::mt19937_64 random(42);
    auto below = [&](std::uint64_t n) { return random() % n; };
    const unsigned shifts[] = {0, 1, 64, 512, 4096};
    auto cut_writes = [&](std::uint64_t from, std::uint64_t to, std::vector<op_s>& ops) {
        for (std::uint64_t at = from; at < to;) {
            std::uint64_t end =
                below(2) ? (at + 1 + below(65536) + 4095) / 4096 * 4096 : at + 1 + below(9000);
            end = std::min(end, to);
            ops.push_back({io_direction::write, at, end - at, shifts[below(5)]});
            at = end;
        }
    };
    auto random_read = [&](std::uint64_t within) -> op_s {
        if (below(3) == 0) {
            std::uint64_t length = 4096 * (1 + below(16));
            return {io_direction::read, 4096 * below((within - length) / 4096), length, 0};
        }
        std::uint64_t length = 1 + below(below(2) ? 300 : 70000);
        return {io_direction::read, below(within - length), length, shifts[below(5)]};
    };
    std::vector<op_s> first, mixed, last;
    cut_writes(0, half, first);
    std::shuffle(first.begin(), first.end(), random);
    cut_writes(half, size, mixed);
    for (std::size_t i = 0, count = mixed.size(); i < count; ++i) {
        mixed.insert(mixed.begin() + static_cast<std::ptrdiff_t>(2 * i), random_read(half));
    }
    for (int i = 0; i < 150; ++i) {
        last.push_back(random_read(size));
    }
    ASSERT_GT(first.size() + mixed.size() + last.size(), 300u);

    for (const std::vector<op_s>* ops : {&first, &mixed, &last}) {
        traffic_s traffic = run_ops(queue, file, *ops, bytes(), 1);
        EXPECT_EQ(traffic.returned, std::vector<int>(ops->size(), 1));
        EXPECT_EQ(traffic.error, std::vector<int>(ops->size(), 0));
        EXPECT_EQ(traffic.wrong_bytes, 0u);
    }
    EXPECT_EQ(bytes_unlike(file, 0, size, 1), 0u);
    EXPECT_EQ(flush_through(queue, file), 0);
}

TEST_P(transfer_contract, what_cannot_be_moved_fails_before_the_first_byte_or_says_how_far) {
    constexpr std::uint64_t size = 10000;
    file_handle_s file = file_of("short", size, 1);
    file_handle_s missing;
    missing.path = folder.path + "/none";
    page_buffer_s memory = allocate_pages(9 * 16384);
    constexpr std::uint64_t huge = std::numeric_limits<std::int64_t>::max();
    const op_s ops[] = {{io_direction::read, 0, size, 0},       {io_direction::read, 8192, 4096, 0},
                        {io_direction::read, 9000, 2000, 1},    {io_direction::read, size, 64, 0},
                        {io_direction::read, 1 << 20, 4096, 0}, {io_direction::read, 4096, 0, 0},
                        {io_direction::read, huge, 10, 0},      {io_direction::write, huge, 10, 0},
                        {io_direction::read, 0, 512, 0}};
    const int expected_error[] = {0, ENODATA, ENODATA, ENODATA, ENODATA, 0, EINVAL, EINVAL, EBADF};
    const std::uint64_t expected_moved[] = {size, size - 8192, size - 9000, 0, 0, 0, 0, 0, 0};
    for (std::uint64_t i = 0; i < 9; ++i) {
        const op_s& op = ops[i];
        submit_io(queue, {i == 8 ? &missing : &file, op.direction, op.offset, op.length,
                          memory.data + i * 16384 + op.shift, i});
    }
    std::vector<int> error(9, -1);
    std::vector<std::uint64_t> moved(9, 0);
    io_completion_s done;
    while (wait_for_io(queue, &done, true)) {
        ASSERT_LT(done.tag, 9u);
        EXPECT_EQ(error[done.tag], -1) << "tag " << done.tag << " twice";
        error[done.tag] = done.error;
        moved[done.tag] = done.moved;
    }
    EXPECT_EQ(error, std::vector<int>(expected_error, expected_error + 9));
    for (std::uint64_t i : {0, 1, 2}) {
        EXPECT_EQ(moved[i], expected_moved[i]) << "read " << i;
    }
    std::uint64_t wrong = 0;
    for (std::uint64_t i = 0; i < size; ++i) {
        wrong += memory.data[i] != expected(i, 1);
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(flush_through(queue, missing), EBADF);
    release_pages(memory);
}

TEST_P(transfer_contract, closing_waits_for_every_transfer_and_a_second_back_end_keeps_its_tags) {
    file_handle_s first = file_of("first", 1 << 20, 1), second = file_of("second", 1 << 20, 1, 1);
    transfer_backend_s other;
    std::string why;
    ASSERT_TRUE(open_fresh(other, &why)) << why;
    page_buffer_s memory = allocate_pages(2 << 20);
    for (std::uint64_t i = 0; i < 2 << 20; ++i) {
        memory.data[i] = expected(i % (1 << 20), 2);
    }
    // Both back-ends use tags 0 to 15 for their halves of the files.
    for (std::uint64_t k = 0; k < 16; ++k) {
        std::uint64_t at = k * 65536;
        submit_io(queue, {&first, io_direction::write, at, 65536, memory.data + at, k});
        submit_io(other,
                  {&second, io_direction::write, at, 65536, memory.data + (1 << 20) + at, k});
    }
    std::vector<int> returned(16, 0);
    io_completion_s done;
    while (wait_for_io(other, &done, true)) {
        ASSERT_LT(done.tag, 16u);
        ++returned[done.tag];
        EXPECT_EQ(done.error, 0);
    }
    EXPECT_EQ(returned, std::vector<int>(16, 1));
    EXPECT_EQ(io_in_flight(queue), 16u) << "the other back-end's completions are not ours";
    close_transfers(queue);
    EXPECT_EQ(bytes_unlike(first, 0, 1 << 20, 2), 0u) << "closed before the writes ended";
    EXPECT_EQ(bytes_unlike(second, 0, 1 << 20, 2), 0u);
    EXPECT_EQ(io_in_flight(queue), 0u);
    EXPECT_FALSE(wait_for_io(queue, &done, true));
    close_transfers(queue);
    close_transfers(other);
    // Closed, it opens again and works.
    ASSERT_TRUE(open_fresh(queue, &why)) << why;
    io_completion_s again =
        transfer_now(queue, {&first, io_direction::read, 4096, 4096, memory.data, 99});
    EXPECT_EQ(again.tag, 99u);
    EXPECT_EQ(again.error, 0);
    EXPECT_EQ(memory.data[100], expected(4096 + 100, 2));
    release_pages(memory);
}

const backend_case_s backend_cases[] = {
    {"io_uring", kind::real, false, [](auto, auto) { return uring_transfers(); }},
    {"threads", kind::real, false, [](auto, auto) { return thread_transfers(); }},
    {"synchronous", kind::real, false, [](auto, auto) { return synchronous_transfers(); }},
    {"automatic", kind::real, false, [](auto, auto) { return automatic_transfers(); }},
    {"memory", kind::memory, false, [](auto store, auto) { return memory_transfers(store); }},
    {"disk_model", kind::model, false, [](auto, auto model) { return model_transfers(model); }},
    {"disk_model_reordering", kind::model, true,
     [](auto, auto model) { return model_transfers(model); }},
    {"faults_letting_all_through", kind::memory, false,
     [](auto store, auto) {
         return with_faults(
             memory_transfers(store),
             [](const file_handle_s&, io_direction, std::uint64_t, std::uint64_t) { return 0; });
     }},
    {"crash_points", kind::real, false,
     [](auto, auto) {
         return with_crash_points(thread_transfers(), [](const char*, const std::string&) {});
     }},
};

INSTANTIATE_TEST_SUITE_P(every_backend, transfer_contract, ::testing::ValuesIn(backend_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// The wrappers act on exactly what they are given: the fault wrapper fails the chosen transfers
// before any byte moves (asked once per transfer), the crash-point wrapper sees every instant.
TEST(transfer_wrappers, faults_fail_exactly_the_chosen_transfers_and_instants_reach_their_hook) {
    temp_folder_s folder;
    constexpr std::uint64_t size = 1 << 20, step = 16 << 10;
    auto store = std::make_shared<memory_files_s>();
    file_handle_s file = memory_file(*store, folder.path + "/faults", size);
    {
        std::lock_guard hold(store->lock);
        for (std::uint64_t i = 0; i < size; ++i) {
            store->files[file.path][i] = pattern(i, 1);
        }
    }
    const std::set<std::uint64_t> full = {3 * step, 40 * step}, broken = {7 * step + 8192};
    std::atomic<int> asked{0};
    std::vector<std::string> instants;
    transfer_backend_s queue =
        with_crash_points(with_faults(memory_transfers(store),
                                      [&](const file_handle_s&, io_direction direction,
                                          std::uint64_t offset, std::uint64_t) {
                                          ++asked;
                                          if (direction == io_direction::write) {
                                              return full.count(offset) != 0 ? ENOSPC : 0;
                                          }
                                          return broken.count(offset) != 0 ? EIO : 0;
                                      }),
                          [&](const char* instant, const std::string& path) {
                              instants.push_back(std::string(instant) + " " + path);
                          });
    ASSERT_TRUE(open_transfers(queue, depth, nullptr));
    EXPECT_EQ(queue.name, "memory");
    // A write and a read in every 16 KiB; the writes are a little unaligned.
    std::vector<op_s> ops;
    for (std::uint64_t at = 0; at < size; at += step) {
        ops.push_back({io_direction::write, at, 8000, 0});
        ops.push_back({io_direction::read, at + 8192, 8192, 0});
    }
    traffic_s traffic = run_ops(queue, file, ops, pattern, 2, 1);
    EXPECT_EQ(traffic.wrong_bytes, 0u);
    EXPECT_EQ(asked.load(), static_cast<int>(ops.size())) << "asked once per transfer";
    EXPECT_EQ(traffic.returned, std::vector<int>(ops.size(), 1));
    std::vector<std::uint8_t> after = memory_file_bytes(*store, file.path);
    for (std::size_t i = 0; i < ops.size(); ++i) {
        const op_s& op = ops[i];
        int expected = full.count(op.offset) ? ENOSPC : broken.count(op.offset) ? EIO : 0;
        EXPECT_EQ(traffic.error[i], expected) << "offset " << op.offset;
        // A write that never started left generation 1 in place.
        unsigned now = expected == 0 ? 2 : 1;
        for (std::uint64_t at = op.offset;
             op.direction == io_direction::write && at < op.offset + op.length; ++at) {
            ASSERT_EQ(after[at], pattern(at, now)) << "offset " << at;
        }
    }
    announce(queue, "data flushed", file.path);
    EXPECT_EQ(flush_through(queue, file), 0);
    EXPECT_EQ(instants, std::vector<std::string>{"data flushed " + file.path});
    EXPECT_EQ(store->flushes[file.path], 1u);
    close_transfers(queue);
}

// Where the file lives and what its handle says about direct I/O.
enum class place { tmpfs, ordinary_only, misreported_alignment };
const char* place_names[] = {"tmpfs", "ordinary_only", "misreported_alignment"};

using real_case_s = std::tuple<int, place>; // index into backend_cases, place

class real_file_traffic : public ::testing::TestWithParam<real_case_s> {};

TEST_P(real_file_traffic, transfers_move_exactly_their_bytes_wherever_direct_io_is_odd) {
    temp_folder_s folder;
    const backend_case_s& backend = backend_cases[std::get<0>(GetParam())];
    transfer_backend_s queue = backend.make(nullptr, nullptr);
    std::string why;
    if (!open_transfers(queue, depth, &why)) {
        GTEST_SKIP() << skip_reason(backend.name, why);
    }
    std::string path = folder.path + "/traffic";
    place where = std::get<1>(GetParam());
    if (where == place::tmpfs) {
        struct statfs about {};
        if (statfs("/dev/shm", &about) != 0 || about.f_type != 0x01021994) {
            GTEST_SKIP() << "/dev/shm is not a tmpfs";
        }
        path = "/dev/shm/scoopshift-transfers-" + std::to_string(getpid());
    }
    file_handle_s file;
    ASSERT_EQ(open_file_handle(path, O_RDWR | O_CREAT | O_TRUNC, 0644, &file), 0);
    if (where == place::ordinary_only) {
        close(file.direct_fd); // as on a file system that refuses O_DIRECT
        file.direct_fd = -1;
    }
    if (where == place::misreported_alignment) {
        if (file.direct_fd < 0) {
            GTEST_SKIP() << "the temporary folder's file system refuses direct I/O";
        }
        file.alignment = 1; // the kernel refuses most of these with EINVAL
        file.memory_alignment = 1;
    }
    std::mt19937_64 random(7);
    std::vector<op_s> writes, reads;
    constexpr std::uint64_t size = (1 << 20) + 77;
    for (std::uint64_t at = 0; at < size;) {
        std::uint64_t end = std::min(size, at + 1 + random() % 20000);
        writes.push_back({io_direction::write, at, end - at, static_cast<unsigned>(random() % 3)});
        reads.push_back({io_direction::read, at, end - at, static_cast<unsigned>(random() % 3)});
        at = end;
    }
    std::shuffle(writes.begin(), writes.end(), random);
    for (const std::vector<op_s>* ops : {&writes, &reads}) {
        traffic_s traffic = run_ops(queue, file, *ops, pattern, 3);
        EXPECT_EQ(traffic.error, std::vector<int>(ops->size(), 0));
        EXPECT_EQ(traffic.wrong_bytes, 0u);
    }
    EXPECT_EQ(real_bytes_unlike(path, 0, size, 3), 0u);
    close_transfers(queue);
    close_file_handle(file);
    if (where == place::tmpfs) {
        unlink(path.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(real_backends, real_file_traffic,
                         ::testing::Combine(::testing::Values(0, 1, 2),
                                            ::testing::Values(place::tmpfs, place::ordinary_only,
                                                              place::misreported_alignment)),
                         [](const auto& info) {
                             return std::string(backend_cases[std::get<0>(info.param)].name) + "_" +
                                    place_names[static_cast<int>(std::get<1>(info.param))];
                         });

class real_file_limits : public ::testing::TestWithParam<int> {};

TEST_P(real_file_limits, a_full_volume_fails_the_writes_that_do_not_fit_with_enospc) {
    temp_folder_s folder;
    small_volume_s volume(folder.path + "/small", "1m");
    if (!volume.mounted) {
        GTEST_SKIP() << "mounting a small tmpfs needs root; a full volume is not tested";
    }
    transfer_backend_s queue = backend_cases[GetParam()].make(nullptr, nullptr);
    std::string why;
    if (!open_transfers(queue, depth, &why)) {
        GTEST_SKIP() << skip_reason(backend_cases[GetParam()].name, why);
    }
    file_handle_s file;
    ASSERT_EQ(open_file_handle(volume.path + "/target", O_RDWR | O_CREAT, 0644, &file), 0);
    std::vector<op_s> ops;
    for (std::uint64_t at = 0; at < (2 << 20); at += 65536 - 100) {
        ops.push_back({io_direction::write, at, 65536 - 100, 64});
    }
    traffic_s traffic = run_ops(queue, file, ops, pattern, 3);
    EXPECT_EQ(traffic.returned, std::vector<int>(ops.size(), 1));
    std::size_t fitted = 0, refused = 0;
    for (std::size_t i = 0; i < ops.size(); ++i) {
        if (traffic.error[i] == 0) {
            ++fitted;
            EXPECT_EQ(real_bytes_unlike(file.path, ops[i].offset, ops[i].offset + ops[i].length, 3),
                      0u);
        } else {
            EXPECT_EQ(traffic.error[i], ENOSPC);
            ++refused;
        }
    }
    EXPECT_GT(fitted, 0u);
    EXPECT_GT(refused, 0u);
    close_transfers(queue);
    close_file_handle(file);
}

TEST_P(real_file_limits, a_wait_that_does_not_block_hands_the_started_transfers_over) {
    temp_folder_s folder;
    transfer_backend_s queue = backend_cases[GetParam()].make(nullptr, nullptr);
    std::string why;
    if (!open_transfers(queue, depth, &why)) {
        GTEST_SKIP() << skip_reason(backend_cases[GetParam()].name, why);
    }
    file_handle_s file;
    std::string path = folder.path + "/handed";
    ASSERT_EQ(open_file_handle(path, O_RDWR | O_CREAT, 0644, &file), 0);
    page_buffer_s memory = allocate_pages(65536);
    for (std::uint64_t i = 0; i < 65536; ++i) {
        memory.data[i] = pattern(i, 2);
    }
    submit_io(queue, {&file, io_direction::write, 0, 65536, memory.data, 7});
    io_completion_s done{};
    bool taken = wait_for_io(queue, &done, false);
    // The write lands without another call into the back-end; the deadline only ends a failure.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (real_bytes_unlike(path, 0, 65536, 2) != 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(real_bytes_unlike(path, 0, 65536, 2), 0u);
    EXPECT_TRUE(taken || wait_for_io(queue, &done, true));
    EXPECT_EQ(done.tag, 7u);
    EXPECT_EQ(done.error, 0);
    release_pages(memory);
    close_transfers(queue);
    close_file_handle(file);
}

INSTANTIATE_TEST_SUITE_P(real_backends, real_file_limits, ::testing::Values(0, 1, 2),
                         [](const auto& info) {
                             return std::string(backend_cases[info.param].name);
                         });

// What a child process whose io_uring_setup is refused makes of the automatic back-end; "" when
// it ends up with the threads and they move data correctly.
std::string automatic_under_a_seccomp_filter(const std::string& folder) {
#if defined(__x86_64__)
    constexpr std::uint32_t arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr std::uint32_t arch = AUDIT_ARCH_AARCH64;
#else
    return "skip: no seccomp filter written for this architecture";
#endif
    sock_filter rules[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(rules)), rules};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        return "skip: the seccomp filter could not be installed, errno " + std::to_string(errno);
    }
    transfer_backend_s queue = uring_transfers();
    std::string why;
    if (open_transfers(queue, 4, &why)) {
        return "io_uring opened under the filter";
    }
    queue = automatic_transfers();
    if (!open_transfers(queue, 4, &why)) {
        return "automatic did not open: " + why;
    }
    if (queue.name != "I/O threads" || why.empty()) {
        return "automatic chose " + queue.name + ", why: " + why;
    }
    file_handle_s file;
    if (open_file_handle(folder + "/fallback", O_RDWR | O_CREAT, 0644, &file) != 0) {
        return "no file";
    }
    std::vector<op_s> ops;
    for (std::uint64_t at = 0; at < 200000; at += 5000) {
        ops.push_back({io_direction::write, at, 5000, 1});
    }
    for (std::uint64_t at = 0; at < 200000; at += 8192) {
        ops.push_back({io_direction::read, at, std::min<std::uint64_t>(8192, 200000 - at), 0});
    }
    traffic_s traffic = run_ops(queue, file, ops, pattern, 4);
    close_transfers(queue);
    close_file_handle(file);
    if (traffic.returned != std::vector<int>(ops.size(), 1) ||
        traffic.error != std::vector<int>(ops.size(), 0) || traffic.wrong_bytes != 0) {
        return "the threads moved the data wrongly";
    }
    return "";
}

TEST(transfer_fallback, automatic_falls_back_to_threads_where_a_seccomp_filter_refuses_io_uring) {
    temp_folder_s folder;
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(report[0]);
        std::string outcome = automatic_under_a_seccomp_filter(folder.path);
        bool written = write(report[1], outcome.data(), outcome.size()) ==
                       static_cast<ssize_t>(outcome.size());
        _exit(written && outcome.empty() ? 0 : 1);
    }
    close(report[1]);
    std::string outcome;
    char chunk[256];
    for (ssize_t got; (got = read(report[0], chunk, sizeof chunk)) != 0;) {
        if (got > 0) {
            outcome.append(chunk, static_cast<std::size_t>(got));
        } else if (errno != EINTR) {
            break;
        }
    }
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (outcome.rfind("skip: ", 0) == 0) {
        GTEST_SKIP() << outcome.substr(6);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << outcome;
    EXPECT_EQ(outcome, "");
}

} // namespace
