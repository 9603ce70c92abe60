#include "swizzler/target_creation.h"

#include "util/log.h"
#include "util/size_text.h"

namespace {

constexpr int main_window = 0;

bool ask_to_make_room(const std::string& path, std::uint64_t size, std::uint64_t available) {
    const char* missing = "Some";
    if (size > available) {
        missing = size_text(size - available, false);
    }
    const char* free_text = size_text(available, false);
    const char* requested = size_text(size, false);
    return ask_yes_no(main_window, "Out of space",
                      "Not enough free space. Attempting to set file size to: %s\nThere appears "
                      "to be only %s free on the drive for %s. %s more is needed.\nThis can "
                      "happen if files have been written to the drive since it was chosen, by "
                      "another program or a swap file on it.\nWould you like to retry (free up "
                      "some space first if you can)?",
                      requested, free_text, path.c_str(), missing);
}

} // namespace

file_handle_s create_target_file(const std::string& path, std::uint64_t size,
                                 target_failure* failure) {
    target_failure ignored;
    target_failure& why = failure != nullptr ? *failure : ignored;
    int error = 0;
    file_handle_s target = open_target_file(path, &why, &error);
    if (target.fd < 0) {
        return target;
    }
    for (;;) {
        error = 0;
        target_sizing result = size_target_file(target, size, &error);
        if (result == target_sizing::reserved) {
            return target;
        }
        if (result == target_sizing::failed) {
            log_message("Could not set the size of %s to %llu bytes, error %d\n", path.c_str(),
                        static_cast<unsigned long long>(size), error);
        }
        std::uint64_t available = target_free_bytes(path);
        if (result == target_sizing::extended_only && fits_unreserved(target, size, available)) {
            // The file system fills every gap with zeroes before the data reaches it.
            show_message(main_window, "Warning",
                         "Could not extend file size efficiently. Writing will take twice as "
                         "long.");
            return target;
        }
        if (!ask_to_make_room(path, size, available)) {
            discard_target_file(target, path);
            why = target_failure::no_room;
            return {};
        }
    }
}
