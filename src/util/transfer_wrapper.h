// What wrapper back-ends are built from: a back-end that hands every operation
// to the one inside it, and replaces some of them.
//
// The inside back-end is opened and closed with the wrapper. A wrapper may also
// settle a transfer itself (a fault that fails it before it starts): its
// completion then comes back before any of the inside back-end's.
#pragma once

#include "util/transfer_backend.h"

// A back-end that does exactly what `inner` does, named as `inner` once open.
transfer_backend_s wrapped_transfers(transfer_backend_s inner);

// The opened back-end inside a wrapper made by wrapped_transfers.
transfer_backend_s& wrapper_inner(transfer_backend_s& wrapper);

// Completes a transfer submitted to the wrapper without handing it on.
void settle_in_wrapper(transfer_backend_s& wrapper, const io_completion_s& completion);
