#include "ui/host_hooks.h"

host_hooks_s& host_hooks() {
    // Filled in by the host at start-up, before other threads exist; used on the interface
    // thread only.
    static host_hooks_s hooks;
    return hooks;
}
