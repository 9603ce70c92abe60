#include "util/transfer_synchronous.h"

#include <deque>

#include "util/transfer_rules.h"

namespace {

struct synchronous_state_s {
    std::deque<io_completion_s> done; // in the order of the transfers
};

synchronous_state_s& state_of(transfer_backend_s& backend) {
    return *static_cast<synchronous_state_s*>(backend.state.get());
}

} // namespace

transfer_backend_s synchronous_transfers() {
    transfer_backend_s backend;
    backend.name = "synchronous transfers";
    backend.ops.open = [](transfer_backend_s& self, unsigned, std::string*) {
        self.state = std::make_shared<synchronous_state_s>();
        return true;
    };
    backend.ops.submit = [](transfer_backend_s& self, const io_request_s& request) {
        state_of(self).done.push_back(run_transfer(request));
    };
    backend.ops.wait = [](transfer_backend_s& self, io_completion_s* completion, bool) {
        synchronous_state_s& state = state_of(self);
        if (state.done.empty()) {
            return false;
        }
        *completion = state.done.front();
        state.done.pop_front();
        return true;
    };
    backend.ops.flush = flush_real_file;
    backend.ops.close = [](transfer_backend_s& self) { self.state.reset(); };
    return backend;
}
