// Converting the groups of an in-place conversion, with the disk kept busy.
//
// Per group, in this order: its old low second halves go into its journal slot,
// which is flushed; its low entries are written and the plot flushed; then its
// high entries are written, and they are durable by the next group's flush,
// which waits for them. With two buffer sets the next group is read while this
// one is written. A block shared by the hulls of two neighbouring groups is
// never read while the first group's write of it may be in flight: the second
// group takes it from the first group's buffer, where it already holds exactly
// what the disk will hold. A slot is rewritten only two groups later, when the
// group that used it is durable.
//
// Threading: the work thread drives every transfer and flush through the run's back-end, and
// announces its instants to it.
#pragma once

#include "swizzler/conversion_record.h"
#include "swizzler/in_place_recovery.h"
#include "util/transfer_backend.h"

enum class in_place_outcome { converted, failed, stopped };

// Converts the low entries from position.next_entry to the end, numbering groups from
// position.next_sequence. On `converted` every write has completed but the last group's high
// entries are not flushed yet. Counts its progress in the record; gives up when its stop is set.
in_place_outcome convert_in_place_groups(swizzler_s& record, const in_place_files_s& files,
                                         transfer_backend_s& transfers,
                                         const journal_position_s& position,
                                         in_place_failure_s* failure);
