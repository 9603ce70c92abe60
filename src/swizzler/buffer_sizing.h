// How much memory a run takes for plot data: one rule for the worker, the
// configuration screen and the terminal front end.
//
// The budget is the user's limit, or nine tenths of the memory available to
// this program when the limit is automatic. A limit above what the machine can
// give now is lowered to that; a limit below what one chunk of buffers needs is
// raised to it, since a run without buffers converts nothing. The buffers are
// then sized within the budget, and never larger than the largest job needs.
#pragma once

#include <cstdint>

#include "util/memory_status.h"

enum class budget_change {
    none,
    lowered_to_available, // the user's limit is more than the machine has free
    raised_to_smallest,   // the user's limit cannot hold one chunk of buffers
};

struct buffer_sizing_s {
    std::uint64_t budget_bytes = 0; // what the run keeps to
    std::uint64_t buffer_bytes = 0; // what it allocates for plot data; at most budget_bytes
    std::uint64_t capacity = 0;     // nonces per working buffer; 0 for an empty plan
    budget_change change = budget_change::none;
};

// The budget of an automatic limit: nine tenths of the available memory.
std::uint64_t automatic_budget(const memory_status_s& memory);

// The least budget with which a run can convert anything.
std::uint64_t smallest_budget();

// The sizing of a run whose largest job has `largest_job_bytes`, under the limit `max_ram_bytes`
// (0 = automatic).
buffer_sizing_s size_buffers(const memory_status_s& memory, std::uint64_t largest_job_bytes,
                             std::uint64_t max_ram_bytes, bool merged_jobs);
