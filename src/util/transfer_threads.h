// The back-end of I/O threads: a small pool of threads (at most eight) that do
// each transfer with pread and pwrite by the shared rules, pieces in turn,
// stopping at the first failure. It works wherever the program runs; it is what
// the program falls back to where io_uring is refused (an old kernel, a sysctl,
// a container's seccomp filter).
//
// Threading: the owner submits and waits; the I/O threads take no signals.
#pragma once

#include "util/transfer_backend.h"

transfer_backend_s thread_transfers();
