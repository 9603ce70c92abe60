#include "util/positioned_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "util/log.h"
#include "util/transfer_rules.h"
#include "util/transfer_synchronous.h"

namespace {

// The synchronous back-end, opened for one transfer.
transfer_backend_s one_at_a_time() {
    transfer_backend_s transfers = synchronous_transfers();
    open_transfers(transfers, 1, nullptr);
    return transfers;
}

} // namespace

file_handle_s open_source_file(const std::string& path, int* error) {
    file_handle_s file;
    *error = open_file_handle(path, O_RDONLY, 0, &file);
    if (*error != 0) {
        return file;
    }
    // A shared lock: any number of copying runs may read a plot, but not while a run converts
    // it in place (which holds it exclusively), nor may one start converting it meanwhile.
    int result;
    do {
        result = flock(file.fd, LOCK_SH | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0 && errno == EWOULDBLOCK) {
        close_file_handle(file);
        *error = EWOULDBLOCK;
        return file;
    }
    // The unaligned pieces are scattered over the whole file: read-ahead would only waste.
    posix_fadvise(file.fd, 0, 0, POSIX_FADV_RANDOM);
    return file;
}

bool read_at(transfer_backend_s& transfers, const file_handle_s& file, std::uint64_t offset,
             std::uint64_t length, std::uint8_t* buffer) {
    if (beyond_any_file(offset, length)) {
        log_message("Failed to seek file error %d\n", EINVAL);
        return false;
    }
    io_completion_s done =
        transfer_now(transfers, {&file, io_direction::read, offset, length, buffer, 0});
    if (done.error == ENODATA) {
        log_message("Failed to read file at offset %llu, the file ends after %llu of %llu "
                    "bytes\n",
                    static_cast<unsigned long long>(offset),
                    static_cast<unsigned long long>(done.moved),
                    static_cast<unsigned long long>(length));
        return false;
    }
    if (done.error != 0) {
        log_message("Failed to read file at offset %llu, error %d\n",
                    static_cast<unsigned long long>(offset), done.error);
        return false;
    }
    return true;
}

bool read_at(const file_handle_s& file, std::uint64_t offset, std::uint64_t length,
             std::uint8_t* buffer) {
    transfer_backend_s transfers = one_at_a_time();
    return read_at(transfers, file, offset, length, buffer);
}

int write_at(transfer_backend_s& transfers, const file_handle_s& file, std::uint64_t offset,
             std::uint64_t length, const std::uint8_t* buffer) {
    // A write only reads the buffer; the request's one pointer serves both directions.
    io_completion_s done = transfer_now(transfers, {&file, io_direction::write, offset, length,
                                                    const_cast<std::uint8_t*>(buffer), 0});
    if (done.error != 0) {
        log_message("Failed to write to %s at offset %llu, error %d\n", file.path.c_str(),
                    static_cast<unsigned long long>(offset + done.moved), done.error);
    }
    return done.error;
}

int write_at(const file_handle_s& file, std::uint64_t offset, std::uint64_t length,
             const std::uint8_t* buffer) {
    transfer_backend_s transfers = one_at_a_time();
    return write_at(transfers, file, offset, length, buffer);
}
