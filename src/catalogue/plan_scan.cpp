#include "catalogue/plan_scan.h"

#include <algorithm>
#include <limits>
#include <map>

#include "catalogue/plot_format.h"
#include "util/folders.h"
#include "util/log.h"

file_identity_s folder_identity(const drive_info_s& folder) {
    if (folder.folder.inode != 0) {
        return folder.folder;
    }
    file_identity_s identity;
    if (!identify_path(folder.path, &identity.device, &identity.inode)) {
        return {};
    }
    return identity;
}

std::vector<std::size_t> distinct_folders(const std::vector<drive_info_s>& folders,
                                          const char* kind) {
    std::vector<std::size_t> entries;
    std::map<file_identity_s, std::size_t> seen;
    for (std::size_t i = 0; i < folders.size(); ++i) {
        file_identity_s identity = folder_identity(folders[i]);
        auto same_path = std::find_if(entries.begin(), entries.end(), [&](std::size_t known) {
            return folders[known].path == folders[i].path;
        });
        if (same_path != entries.end()) {
            continue;
        }
        if (identity.inode != 0) {
            auto [found, fresh] = seen.emplace(identity, i);
            if (!fresh) {
                log_message("The %s folders %s and %s are one folder: it is planned once\n", kind,
                            folders[found->second].path.c_str(), folders[i].path.c_str());
                continue;
            }
        }
        entries.push_back(i);
    }
    return entries;
}

std::uint64_t add_saturating(std::uint64_t a, std::uint64_t b) {
    return b > std::numeric_limits<std::uint64_t>::max() - a
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

std::vector<found_plot_s> scan_sources(const plan_request_s& request,
                                       const std::vector<std::size_t>& entries,
                                       conversion_plan_s& plan) {
    std::vector<found_plot_s> plots;
    std::map<file_identity_s, std::string> path_of_file;
    for (std::size_t index : entries) {
        const std::string& folder = request.sources[index].path;
        std::vector<found_plot_s> accepted;
        // Names are classified (and their skip lines written) in the listing's order.
        for (const folder_entry_s& file : list_folder(folder)) {
            found_plot_s found;
            found.folder = index;
            found.identity = {file.device, file.inode};
            found.links = file.links;
            found.symlink = file.symlink;
            switch (classify_plot_file(folder, file.name, &found.plot)) {
            case plot_file_kind::accepted:
                break;
            case plot_file_kind::resembles_plot:
                plan.set_aside.push_back({set_aside_reason::not_a_plot, found.plot.path,
                                          "its name only begins like a plot's"});
                continue;
            default:
                continue;
            }
            if (found.plot.nonces > max_plot_nonces) {
                log_message("Skipping %s whose %llu nonces are more than a file can hold\n",
                            file.name.c_str(), static_cast<unsigned long long>(found.plot.nonces));
                plan.set_aside.push_back({set_aside_reason::too_large, found.plot.path,
                                          "it has more nonces than a file can hold"});
                continue;
            }
            accepted.push_back(std::move(found));
        }
        // Which of two names of one file is kept must not depend on the listing's order.
        std::sort(
            accepted.begin(), accepted.end(),
            [](const found_plot_s& a, const found_plot_s& b) { return a.plot.path < b.plot.path; });
        for (found_plot_s& found : accepted) {
            auto [first, fresh] = path_of_file.emplace(found.identity, found.plot.path);
            if (!fresh) {
                std::string why = "it is the same file as " + first->second;
                log_message("Leaving %s alone: %s\n", found.plot.path.c_str(), why.c_str());
                plan.set_aside.push_back({set_aside_reason::duplicate, found.plot.path, why});
                continue;
            }
            plan.folder_plot_bytes[index] =
                add_saturating(plan.folder_plot_bytes[index], plot_size(found.plot.nonces));
            ++plan.plot_count;
            plots.push_back(std::move(found));
        }
    }
    return plots;
}

void sort_plots(std::vector<found_plot_s>& plots) {
    std::sort(plots.begin(), plots.end(), [](const found_plot_s& a, const found_plot_s& b) {
        if (a.plot.account_id != b.plot.account_id) {
            return a.plot.account_id < b.plot.account_id;
        }
        if (a.plot.start_nonce != b.plot.start_nonce) {
            return a.plot.start_nonce < b.plot.start_nonce;
        }
        return a.plot.path < b.plot.path;
    });
}
