#include "util/transfer_memory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "util/transfer_rules.h"

namespace {

struct memory_state_s {
    std::shared_ptr<memory_files_s> store;
    std::vector<io_request_s> waiting; // submitted; their bytes move when they are taken
    std::uint64_t turn = 0;            // drives the scrambled order
};

memory_state_s& state_of(transfer_backend_s& backend) {
    return *static_cast<memory_state_s*>(backend.state.get());
}

// Moves the request's bytes; the store's lock is held.
io_completion_s carry_out(memory_files_s& store, const io_request_s& request) {
    io_completion_s done{request.tag, 0, 0};
    if (request.file == nullptr || beyond_any_file(request.offset, request.length)) {
        done.error = request.file == nullptr ? EBADF : EINVAL;
        return done;
    }
    auto found = store.files.find(request.file->path);
    if (found == store.files.end()) {
        done.error = EBADF;
        return done;
    }
    std::vector<std::uint8_t>& bytes = found->second;
    if (request.direction == io_direction::read) {
        std::uint64_t there = request.offset < bytes.size()
                                  ? std::min(request.length, bytes.size() - request.offset)
                                  : 0;
        if (there > 0) {
            std::memcpy(request.buffer, bytes.data() + request.offset, there);
        }
        done.moved = there;
        done.error = there < request.length ? ENODATA : 0;
        return done;
    }
    if (request.length == 0) {
        return done;
    }
    std::uint64_t end = request.offset + request.length;
    if (end > bytes.size()) {
        bytes.resize(end);
    }
    std::memcpy(bytes.data() + request.offset, request.buffer, request.length);
    done.moved = request.length;
    return done;
}

} // namespace

file_handle_s memory_file(memory_files_s& store, const std::string& path, std::uint64_t size,
                          std::uint32_t alignment) {
    std::lock_guard<std::mutex> hold(store.lock);
    auto& bytes = store.files[path];
    if (bytes.size() < size) {
        bytes.resize(size);
    }
    file_handle_s file;
    file.path = path;
    file.alignment = alignment;
    file.memory_alignment = 1;
    file.io_alignment = alignment;
    return file;
}

std::vector<std::uint8_t> memory_file_bytes(memory_files_s& store, const std::string& path) {
    std::lock_guard<std::mutex> hold(store.lock);
    auto found = store.files.find(path);
    return found == store.files.end() ? std::vector<std::uint8_t>() : found->second;
}

transfer_backend_s memory_transfers(std::shared_ptr<memory_files_s> store) {
    transfer_backend_s backend;
    backend.name = "memory";
    backend.ops.open = [store](transfer_backend_s& self, unsigned, std::string*) {
        auto state = std::make_shared<memory_state_s>();
        state->store = store;
        self.state = state;
        return true;
    };
    backend.ops.submit = [](transfer_backend_s& self, const io_request_s& request) {
        state_of(self).waiting.push_back(request);
    };
    backend.ops.wait = [](transfer_backend_s& self, io_completion_s* completion, bool) {
        memory_state_s& state = state_of(self);
        if (state.waiting.empty()) {
            return false;
        }
        // A fixed sequence picks which of the waiting transfers ends next.
        std::uint64_t pick = (state.turn++ * 0x9e3779b97f4a7c15ull >> 17) % state.waiting.size();
        io_request_s request = state.waiting[pick];
        state.waiting.erase(state.waiting.begin() + static_cast<std::ptrdiff_t>(pick));
        std::lock_guard<std::mutex> hold(state.store->lock);
        *completion = carry_out(*state.store, request);
        return true;
    };
    backend.ops.flush = [](transfer_backend_s& self, const file_handle_s& file) {
        memory_files_s& store = *state_of(self).store;
        std::lock_guard<std::mutex> hold(store.lock);
        if (store.files.count(file.path) == 0) {
            return EBADF;
        }
        ++store.flushes[file.path];
        return 0;
    };
    backend.ops.close = [](transfer_backend_s& self) {
        memory_state_s& state = state_of(self);
        {
            std::lock_guard<std::mutex> hold(state.store->lock);
            for (const io_request_s& request : state.waiting) {
                carry_out(*state.store, request); // every transfer ends; its completion is lost
            }
        }
        self.state.reset();
    };
    return backend;
}
