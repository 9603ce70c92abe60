#include "util/transfer_faults.h"

#include <memory>

#include "util/transfer_wrapper.h"

transfer_backend_s with_faults(transfer_backend_s inner, io_fault_fn decide) {
    transfer_backend_s wrapper = wrapped_transfers(std::move(inner));
    auto shared = std::make_shared<io_fault_fn>(std::move(decide));
    wrapper.ops.submit = [shared](transfer_backend_s& self, const io_request_s& request) {
        int error = request.file != nullptr ? (*shared)(*request.file, request.direction,
                                                        request.offset, request.length)
                                            : 0;
        if (error != 0) {
            settle_in_wrapper(self, {request.tag, error, 0});
        } else {
            submit_io(wrapper_inner(self), request);
        }
    };
    return wrapper;
}
