#include "swizzler/progress_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "catalogue/plot_name.h"
#include "swizzler/crash_points.h"
#include "util/crc32c.h"

namespace {

constexpr char magic[8] = {'S', 'C', 'O', 'O', 'P', 'P', 'R', '1'};
// A slot holds the identity (a few KiB at most) and two carries of at most 128 KiB each.
constexpr std::uint64_t slot_bytes = 320 * 1024;

void put(std::vector<std::uint8_t>& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void put_bytes(std::vector<std::uint8_t>& out, const void* data, std::size_t length) {
    put(out, length);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + length);
}

struct reader_s {
    const std::uint8_t* at;
    const std::uint8_t* end;
    bool ok = true;
    std::uint64_t get() {
        if (end - at < 8) {
            ok = false;
            return 0;
        }
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) {
            value |= static_cast<std::uint64_t>(at[i]) << (8 * i);
        }
        at += 8;
        return value;
    }
    std::vector<std::uint8_t> get_bytes() {
        std::uint64_t length = get();
        if (!ok || static_cast<std::uint64_t>(end - at) < length) {
            ok = false;
            return {};
        }
        std::vector<std::uint8_t> bytes(at, at + length);
        at += length;
        return bytes;
    }
};

std::vector<std::uint8_t> encode(const progress_record_s& record) {
    std::vector<std::uint8_t> body;
    put(body, record.sequence);
    put(body, record.nonces);
    put(body, record.alignment);
    put(body, record.target_inode);
    put(body, static_cast<std::uint64_t>(record.target_born_ns));
    put(body, record.sources.size());
    for (const progress_source_s& source : record.sources) {
        put_bytes(body, source.name.data(), source.name.size());
        put(body, source.nonces);
        put(body, source.bytes);
        put(body, static_cast<std::uint64_t>(source.modified_ns));
    }
    put(body, record.pairs_done);
    put(body, record.low_carry.begin);
    put(body, record.low_carry.end);
    put_bytes(body, record.low_carry_bytes.data(), record.low_carry_bytes.size());
    put(body, record.high_carry.begin);
    put(body, record.high_carry.end);
    put_bytes(body, record.high_carry_bytes.data(), record.high_carry_bytes.size());

    std::vector<std::uint8_t> slot(magic, magic + sizeof magic);
    put(slot, body.size());
    std::uint32_t crc = crc32c(body.data(), body.size());
    put(slot, crc);
    slot.insert(slot.end(), body.begin(), body.end());
    return slot;
}

bool decode(const std::uint8_t* slot, std::uint64_t length, progress_record_s* record) {
    if (length < sizeof magic + 16 || std::memcmp(slot, magic, sizeof magic) != 0) {
        return false;
    }
    reader_s head{slot + sizeof magic, slot + length};
    std::uint64_t body_length = head.get();
    std::uint64_t crc = head.get();
    if (!head.ok || static_cast<std::uint64_t>(head.end - head.at) < body_length ||
        crc32c(head.at, body_length) != crc) {
        return false;
    }
    reader_s in{head.at, head.at + body_length};
    progress_record_s r;
    r.sequence = in.get();
    r.nonces = in.get();
    r.alignment = in.get();
    r.target_inode = in.get();
    r.target_born_ns = static_cast<std::int64_t>(in.get());
    std::uint64_t count = in.get();
    for (std::uint64_t i = 0; in.ok && i < count && i < 100000; ++i) {
        progress_source_s source;
        std::vector<std::uint8_t> name = in.get_bytes();
        source.name.assign(name.begin(), name.end());
        source.nonces = in.get();
        source.bytes = in.get();
        source.modified_ns = static_cast<std::int64_t>(in.get());
        r.sources.push_back(std::move(source));
    }
    r.pairs_done = in.get();
    r.low_carry.begin = in.get();
    r.low_carry.end = in.get();
    r.low_carry_bytes = in.get_bytes();
    r.high_carry.begin = in.get();
    r.high_carry.end = in.get();
    r.high_carry_bytes = in.get_bytes();
    if (!in.ok || r.sources.size() != count || r.low_carry_bytes.size() != r.low_carry.size() ||
        r.high_carry_bytes.size() != r.high_carry.size()) {
        return false;
    }
    *record = std::move(r);
    return true;
}

int open_retrying(const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool read_slot(int fd, std::uint64_t index, std::vector<std::uint8_t>* slot) {
    slot->assign(slot_bytes, 0);
    std::uint64_t done = 0;
    while (done < slot_bytes) {
        ssize_t got = pread(fd, slot->data() + done, slot_bytes - done,
                            static_cast<off_t>(index * slot_bytes + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<std::uint64_t>(got);
    }
    slot->resize(done);
    return done > 0;
}

std::int64_t nanoseconds(const struct timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

} // namespace

std::string progress_record_path(const std::string& temporary_path) {
    return temporary_path + ".progress";
}

record_found load_progress_record(const std::string& path, progress_record_s* record) {
    int fd = open_retrying(path.c_str(), O_RDONLY | O_NOFOLLOW, 0);
    if (fd < 0) {
        return errno == ENOENT  ? record_found::none
               : errno == ELOOP ? record_found::not_plain
                                : record_found::unusable;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) {
        close(fd);
        return record_found::not_plain;
    }
    bool found = false;
    for (std::uint64_t index = 0; index < 2; ++index) {
        std::vector<std::uint8_t> slot;
        progress_record_s candidate;
        if (read_slot(fd, index, &slot) && decode(slot.data(), slot.size(), &candidate) &&
            (!found || candidate.sequence > record->sequence)) {
            *record = std::move(candidate);
            found = true;
        }
    }
    close(fd);
    return found ? record_found::whole : record_found::unusable;
}

bool store_progress_record(const std::string& path, progress_record_s* record, int* error) {
    progress_record_s newest;
    record_found found = load_progress_record(path, &newest);
    if (found == record_found::not_plain) {
        *error = ELOOP; // never written through a link, nor into a file another name shares
        return false;
    }
    std::uint64_t sequence = found == record_found::whole ? newest.sequence + 1 : 1;
    record->sequence = sequence;
    std::vector<std::uint8_t> slot = encode(*record);
    if (slot.size() > slot_bytes) {
        *error = EOVERFLOW;
        return false;
    }
    int fd = open_retrying(
        path.c_str(), O_RDWR | O_NOFOLLOW | (found == record_found::none ? O_CREAT | O_EXCL : 0),
        0644);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    // The slot the newest record is not in: a torn write here leaves that one whole.
    std::uint64_t offset = (sequence % 2) * slot_bytes;
    std::uint64_t done = 0;
    while (done < slot.size()) {
        ssize_t put_now =
            pwrite(fd, slot.data() + done, slot.size() - done, static_cast<off_t>(offset + done));
        if (put_now < 0 && errno == EINTR) {
            continue;
        }
        if (put_now <= 0) {
            *error = put_now < 0 ? errno : EIO;
            close(fd);
            return false;
        }
        done += static_cast<std::uint64_t>(put_now);
    }
    crash_point("progress written", path);
    int result;
    do {
        result = fdatasync(fd);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        *error = errno;
        close(fd);
        return false;
    }
    close(fd);
    return true;
}

bool remove_progress_record(const std::string& path) {
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

progress_source_s describe_source(const file_handle_s& source, std::uint64_t nonces) {
    progress_source_s described;
    described.name = std::string(file_name_of(source.path));
    described.nonces = nonces;
    struct stat status {};
    if (fstat(source.fd, &status) == 0) {
        described.bytes = static_cast<std::uint64_t>(status.st_size);
        described.modified_ns = nanoseconds(status.st_mtim);
    }
    return described;
}

void describe_target(const file_handle_s& target, progress_record_s* record) {
    struct statx about {};
    if (statx(target.fd, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &about) == 0) {
        record->target_inode = about.stx_ino;
        record->target_born_ns =
            (about.stx_mask & STATX_BTIME) != 0
                ? static_cast<std::int64_t>(about.stx_btime.tv_sec) * 1000000000 +
                      about.stx_btime.tv_nsec
                : 0;
    }
}

bool same_work(const progress_record_s& stored, const progress_record_s& now, std::string* why) {
    if (stored.nonces != now.nonces || stored.alignment != now.alignment) {
        *why = "the plot's layout differs";
        return false;
    }
    if (stored.target_inode != now.target_inode || stored.target_born_ns != now.target_born_ns) {
        *why = "the temporary file is not the one the record was written for";
        return false;
    }
    if (stored.sources.size() != now.sources.size()) {
        *why = "the sources differ";
        return false;
    }
    for (std::size_t i = 0; i < stored.sources.size(); ++i) {
        const progress_source_s& a = stored.sources[i];
        const progress_source_s& b = now.sources[i];
        if (a.name != b.name || a.nonces != b.nonces || a.bytes != b.bytes ||
            a.modified_ns != b.modified_ns) {
            *why = "source " + b.name + " is not the one the work began with";
            return false;
        }
    }
    return true;
}
