// Every test program aborts at a failed check of the data path, where the released programs
// only fail the job: a test cannot pass over a check that did not hold.
#include "util/log.h"

namespace {

const bool checks_abort = [] {
    set_failed_checks_abort(true);
    return true;
}();

} // namespace
