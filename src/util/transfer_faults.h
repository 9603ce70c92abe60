// Fault injection as a wrapper back-end: a function decides, before each
// transfer starts, whether it fails and with what error; a transfer it fails
// moves no byte and completes with that error, the others go to the back-end
// inside. Tests hand such a back-end to a run to fail chosen transfers, or to
// watch every transfer go by.
//
// Threading: the decision runs on the thread that submits (a run's work
// thread); one function may serve the back-ends of several runs at once.
#pragma once

#include <functional>

#include "util/transfer_backend.h"

// 0 lets the transfer run; an errno value fails it with that error.
using io_fault_fn = std::function<int(const file_handle_s& file, io_direction direction,
                                      std::uint64_t offset, std::uint64_t length)>;

// `inner` with every transfer first put to `decide`.
transfer_backend_s with_faults(transfer_backend_s inner, io_fault_fn decide);
