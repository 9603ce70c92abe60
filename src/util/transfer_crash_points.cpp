#include "util/transfer_crash_points.h"

#include <memory>

#include "util/transfer_wrapper.h"

transfer_backend_s with_crash_points(transfer_backend_s inner, crash_point_fn at_instant) {
    transfer_backend_s wrapper = wrapped_transfers(std::move(inner));
    auto shared = std::make_shared<crash_point_fn>(std::move(at_instant));
    wrapper.ops.announce = [shared](transfer_backend_s& self, const char* instant,
                                    const std::string& path) {
        (*shared)(instant, path);
        announce(wrapper_inner(self), instant, path);
    };
    return wrapper;
}
