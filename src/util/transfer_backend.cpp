#include "util/transfer_backend.h"

#include <cerrno>
#include <deque>

#include "util/transfer_synchronous.h"
#include "util/transfer_threads.h"
#include "util/transfer_uring.h"
#include "util/transfer_wrapper.h"

namespace {

struct wrapper_state_s {
    transfer_backend_s inner;
    std::deque<io_completion_s> settled; // by the wrapper itself, handed back first
};

wrapper_state_s& wrapper_state(transfer_backend_s& wrapper) {
    return *static_cast<wrapper_state_s*>(wrapper.state.get());
}

} // namespace

transfer_backend_s wrapped_transfers(transfer_backend_s inner) {
    transfer_backend_s wrapper;
    wrapper.name = inner.name;
    wrapper.moves_data = inner.moves_data;
    wrapper.ops.open = [inner](transfer_backend_s& self, unsigned depth, std::string* why) {
        auto state = std::make_shared<wrapper_state_s>();
        state->inner = inner;
        if (!open_transfers(state->inner, depth, why)) {
            return false;
        }
        self.name = state->inner.name;
        self.moves_data = state->inner.moves_data;
        self.state = state;
        return true;
    };
    wrapper.ops.submit = [](transfer_backend_s& self, const io_request_s& request) {
        submit_io(wrapper_inner(self), request);
    };
    wrapper.ops.wait = [](transfer_backend_s& self, io_completion_s* completion, bool block) {
        wrapper_state_s& state = wrapper_state(self);
        if (!state.settled.empty()) {
            *completion = state.settled.front();
            state.settled.pop_front();
            return true;
        }
        return wait_for_io(state.inner, completion, block);
    };
    wrapper.ops.flush = [](transfer_backend_s& self, const file_handle_s& file) {
        return flush_through(wrapper_inner(self), file);
    };
    wrapper.ops.announce = [](transfer_backend_s& self, const char* instant,
                              const std::string& path) {
        announce(wrapper_inner(self), instant, path);
    };
    wrapper.ops.close = [](transfer_backend_s& self) {
        close_transfers(wrapper_inner(self));
        self.state.reset();
    };
    return wrapper;
}

transfer_backend_s& wrapper_inner(transfer_backend_s& wrapper) {
    return wrapper_state(wrapper).inner;
}

void settle_in_wrapper(transfer_backend_s& wrapper, const io_completion_s& completion) {
    wrapper_state(wrapper).settled.push_back(completion);
}

transfer_backend_s automatic_transfers() {
    transfer_backend_s automatic = wrapped_transfers({});
    automatic.name = "automatic";
    automatic.ops.open = [](transfer_backend_s& self, unsigned depth, std::string* why) {
        auto state = std::make_shared<wrapper_state_s>();
        std::string reason;
        bool opened = false;
        if (depth == 1) {
            state->inner = synchronous_transfers();
            opened = open_transfers(state->inner, depth, &reason);
        } else {
            state->inner = uring_transfers();
            opened = open_transfers(state->inner, depth, &reason);
            if (!opened) {
                std::string uring_reason = reason;
                state->inner = thread_transfers();
                opened = open_transfers(state->inner, depth, &reason);
                reason = opened ? uring_reason : uring_reason + "; " + reason;
            }
        }
        if (why != nullptr) {
            *why = reason;
        }
        if (!opened) {
            return false;
        }
        self.name = state->inner.name;
        self.state = state;
        return true;
    };
    return automatic;
}

bool open_transfers(transfer_backend_s& backend, unsigned depth, std::string* why) {
    close_transfers(backend);
    std::string reason;
    bool opened = depth > 0 && backend.ops.open && backend.ops.open(backend, depth, &reason);
    if (depth == 0) {
        reason = "a back-end needs room for at least one transfer";
    }
    if (opened) {
        backend.depth = depth;
        backend.in_flight = 0;
    }
    if (why != nullptr) {
        *why = reason;
    }
    return opened;
}

void submit_io(transfer_backend_s& backend, const io_request_s& request) {
    if (!backend.state) {
        return;
    }
    ++backend.in_flight;
    backend.ops.submit(backend, request);
}

bool wait_for_io(transfer_backend_s& backend, io_completion_s* completion, bool block) {
    if (!backend.state || backend.in_flight == 0) {
        return false;
    }
    bool taken = backend.ops.wait(backend, completion, block);
    if (taken) {
        --backend.in_flight;
    }
    return taken;
}

unsigned io_in_flight(const transfer_backend_s& backend) {
    return backend.state ? backend.in_flight : 0;
}

io_completion_s transfer_now(transfer_backend_s& backend, const io_request_s& request) {
    io_completion_s completion{request.tag, EBADF, 0};
    submit_io(backend, request);
    if (!wait_for_io(backend, &completion, true)) {
        completion = {request.tag, EBADF, 0};
    }
    return completion;
}

int flush_through(transfer_backend_s& backend, const file_handle_s& file) {
    if (!backend.state) {
        return EBADF; // nothing was written through a back-end that is not open
    }
    return backend.ops.flush ? backend.ops.flush(backend, file) : 0;
}

void announce(transfer_backend_s& backend, const char* instant, const std::string& path) {
    if (backend.state && backend.ops.announce) {
        backend.ops.announce(backend, instant, path);
    }
}

void close_transfers(transfer_backend_s& backend) {
    if (backend.state && backend.ops.close) {
        backend.ops.close(backend);
    }
    backend.state.reset();
    backend.in_flight = 0;
    backend.depth = 0;
}
