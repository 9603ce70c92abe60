#include "catalogue/plot_name.h"

#include <cstdlib>

#include "util/log.h"

namespace {

// Reads up to `wanted` underscore-separated numbers as "%llu_%llu..." would and returns how many
// were converted. strtoull gives the same number syntax as "%llu" without scanf's undefined
// behaviour on values beyond 64 bits.
int scan_numbers(const std::string& name, std::uint64_t* numbers, int wanted) {
    const char* at = name.c_str();
    for (int i = 0; i < wanted; ++i) {
        if (i > 0) {
            if (*at != '_') {
                return i;
            }
            ++at;
        }
        char* end = nullptr;
        unsigned long long value = std::strtoull(at, &end, 10);
        if (end == at) {
            return i;
        }
        numbers[i] = value;
        at = end;
    }
    return wanted;
}

} // namespace

std::string_view file_name_of(std::string_view path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

plot_name_kind parse_plot_file_name(std::string_view name, plot_file_s* plot) {
    std::string bare(file_name_of(name));
    std::uint64_t numbers[4] = {0, 0, 0, 0};
    int count = scan_numbers(bare, numbers, 4);
    plot->account_id = numbers[0];
    plot->start_nonce = numbers[1];
    plot->nonces = numbers[2];
    plot->stagger = numbers[3];
    if (count == 4) {
        return plot_name_kind::poc1;
    }
    return count == 3 ? plot_name_kind::poc2 : plot_name_kind::none;
}

plot_file_kind classify_plot_file(const std::string& folder, const std::string& file_name,
                                  plot_file_s* plot) {
    *plot = plot_file_s{};
    plot->path = folder + "/" + file_name;
    switch (parse_plot_file_name(file_name, plot)) {
    case plot_name_kind::none:
        return plot_file_kind::not_a_plot;
    case plot_name_kind::poc2:
        log_message("Skipping %s which is already PoC2\n", file_name.c_str());
        return plot_file_kind::skipped_poc2;
    case plot_name_kind::poc1:
        break;
    }
    if (plot->stagger == 0) {
        log_message("Skipping %s which is already PoC2\n", file_name.c_str());
        return plot_file_kind::skipped_poc2;
    }
    if (plot->stagger != plot->nonces) {
        log_message("Skipping %s which is unoptimized PoC1\n", file_name.c_str());
        return plot_file_kind::skipped_unoptimized;
    }
    return plot_file_kind::accepted;
}

std::string make_output_path(const std::string& folder, std::uint64_t account_id,
                             std::uint64_t start_nonce, std::uint64_t nonces) {
    return folder + "/" + std::to_string(account_id) + "_" + std::to_string(start_nonce) + "_" +
           std::to_string(nonces);
}
