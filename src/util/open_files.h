// The process's limit of open files, and how many of them a merged job may use.
//
// A merged job reads every one of its sources in every scoop pair, so it holds
// them all open, two descriptors each (direct and ordinary). Many farms merge
// hundreds of adjacent plots, and the usual soft limit of 1024 descriptors ends
// such a job with EMFILE; the hard limit is far higher on most systems. The
// front ends raise the soft limit to the hard one at start, and planning keeps
// a merge within what is left after that.
#pragma once

#include <cstddef>
#include <cstdint>

// Raises the soft limit of open files to the hard limit; returns the soft limit in force after.
std::uint64_t raise_open_file_limit();

// The soft limit of open files now.
std::uint64_t open_file_limit();

// The most sources one merged job may hold open, when up to `streams` jobs run at once, from
// the limit `limit` (leaving room for targets, journals, the log and the libraries).
std::size_t sources_per_job_within(std::uint64_t limit, std::size_t streams);
