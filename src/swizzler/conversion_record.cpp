#include "swizzler/conversion_record.h"

swizzler_s& the_swizzler() {
    // Deliberately leaked: destroying a record whose thread is still joinable would abort.
    static swizzler_s* record = new swizzler_s();
    return *record;
}
