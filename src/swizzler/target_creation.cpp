#include "swizzler/target_creation.h"

#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "util/drive_identity.h"
#include "util/log.h"
#include "util/size_text.h"

namespace {

constexpr int main_window = 0;

// `held` is what the file already holds of `size` (a leftover of an earlier run), which needs no
// room. Several drives may run out at once: each question names its drive.
bool ask_to_make_room(const std::string& path, std::uint64_t size, std::uint64_t held,
                      std::uint64_t available) {
    std::uint64_t needed = size - std::min(size, held);
    const char* missing = "Some";
    if (needed > available) {
        missing = size_text(needed - available, false);
    }
    const char* free_text = size_text(available, false);
    const char* requested = size_text(size, false);
    std::string folder = path.substr(0, path.rfind('/') + 1);
    std::string drive = drive_of_folder(folder.empty() ? "." : folder).name;
    return ask_yes_no(main_window, "Out of space",
                      "Not enough free space. Attempting to set file size to: %s\nThere appears "
                      "to be only %s free on the drive %s for %s. %s more is needed.\nThis can "
                      "happen if files have been written to the drive since it was chosen, by "
                      "another program or a swap file on it.\nWould you like to retry (free up "
                      "some space first if you can)?",
                      requested, free_text, drive.c_str(), path.c_str(), missing);
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
    struct stat before {};
    std::uint64_t held =
        fstat(target.fd, &before) == 0 ? static_cast<std::uint64_t>(before.st_blocks) * 512 : 0;
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
        if (!ask_to_make_room(path, size, held, available)) {
            discard_target_file(target, path);
            why = target_failure::no_room;
            return {};
        }
    }
}
