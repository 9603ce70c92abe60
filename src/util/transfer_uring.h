// The io_uring back-end (through liburing), driven by its owner alone.
//
// The pieces of one transfer run at once and the transfer completes when the
// last of them is done; nothing reaches the kernel before a wait, which hands
// every piece started or continued since the last one over in one submission,
// so that transfers started together go in one system call.
//
// Limits: a ring whose submissions fail for good (never seen on a ring this
// back-end owns, but possible in principle) is marked broken: the transfers it
// could not take and every later one complete with that error, while those
// already in the kernel are still waited for. Opening fails where the kernel
// refuses io_uring or lacks positioned reads and writes in it (before 5.6).
#pragma once

#include "util/transfer_backend.h"

transfer_backend_s uring_transfers();
