#include "catalogue/drives.h"

#include "catalogue/planning.h"
#include "util/folders.h"
#include "util/log.h"

// Interface thread only.
std::vector<drive_info_s> source_drives;
std::vector<drive_info_s> destination_drives;

namespace {

std::function<void()> repaint_handler; // installed at start-up

} // namespace

std::vector<drive_info_s>& drive_list(int list) {
    return list == source_list ? source_drives : destination_drives;
}

namespace {

// Adds the folder with its free space; false when the list already holds it.
bool add_entry(int list, const std::string& path) {
    auto& drives = drive_list(list);
    drive_info_s drive = describe_folder(path);
    for (const auto& known : drives) {
        bool same_folder = drive.folder.inode != 0 && known.folder == drive.folder;
        if (known.path == path || same_folder) {
            return false;
        }
    }
    drives.push_back(std::move(drive));
    return true;
}

} // namespace

drive_info_s describe_folder(const std::string& path) {
    drive_info_s drive;
    drive.path = path;
    int error = 0;
    if (!free_space_bytes(path, &drive.free_bytes, &error)) {
        log_message("Received error %d attempting to get disk free space for path %s\n", error,
                    path.c_str());
    }
    if (!identify_path(path, &drive.folder.device, &drive.folder.inode)) {
        drive.folder = {};
    }
    return drive;
}

void add_drive(int list, const std::string& path) {
    if (add_entry(list, path)) {
        plan_jobs();
        request_repaint();
    }
}

void add_drives(int list, const std::vector<std::string>& paths) {
    bool added = false;
    for (const std::string& path : paths) {
        added = add_entry(list, path) || added;
    }
    if (added) {
        plan_jobs();
        request_repaint();
    }
}

void remove_drive(int list, std::size_t index) {
    auto& drives = drive_list(list);
    if (index < drives.size()) {
        drives.erase(drives.begin() + static_cast<std::ptrdiff_t>(index));
    }
}

void set_repaint_handler(std::function<void()> repaint) {
    repaint_handler = std::move(repaint);
}

void request_repaint() {
    if (repaint_handler) {
        repaint_handler();
    }
}
