// The synchronous back-end: each transfer is done on the submitting thread
// before submit returns, by the shared rules (transfer_rules.h), and its
// completion waits for the next wait. read_at and write_at are this back-end at
// depth one.
#pragma once

#include "util/transfer_backend.h"

transfer_backend_s synchronous_transfers();
