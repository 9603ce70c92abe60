#include "catalogue/plot_name.h"

#include <cstdlib>

#include "util/log.h"

namespace {

// Reads one number of digits only at *at, which must fit 64 bits; moves *at past it.
bool read_number(std::string_view text, std::size_t* at, std::uint64_t* value) {
    std::size_t start = *at;
    std::uint64_t number = 0;
    while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9') {
        auto digit = static_cast<std::uint64_t>(text[*at] - '0');
        if (number > (UINT64_MAX - digit) / 10) {
            return false;
        }
        number = number * 10 + digit;
        ++*at;
    }
    *value = number;
    return *at > start;
}

// How many underscore-separated numbers (up to 4) open the name, as a scan that skips blanks
// and a sign before each number would count them: what makes a name look like a plot's.
int numbers_at_start(std::string_view name) {
    std::size_t at = 0;
    for (int count = 0; count < 4; ++count) {
        if (count > 0) {
            if (at >= name.size() || name[at] != '_') {
                return count;
            }
            ++at;
        }
        while (at < name.size() && (name[at] == ' ' || name[at] == '\t')) {
            ++at;
        }
        if (at < name.size() && (name[at] == '+' || name[at] == '-')) {
            ++at;
        }
        std::size_t digits = at;
        while (at < name.size() && name[at] >= '0' && name[at] <= '9') {
            ++at;
        }
        if (at == digits) {
            return count;
        }
    }
    return 4;
}

bool ends_with(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

} // namespace

std::string_view file_name_of(std::string_view path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

plot_name_kind parse_plot_file_name(std::string_view name, plot_file_s* plot) {
    std::string_view bare = file_name_of(name);
    std::uint64_t numbers[4] = {0, 0, 0, 0};
    std::size_t at = 0;
    int count = 0;
    while (count < 4 && read_number(bare, &at, &numbers[count])) {
        ++count;
        if (at == bare.size() || bare[at] != '_') {
            break;
        }
        ++at;
    }
    bool exact = at == bare.size() && (count == 3 || count == 4) && bare.back() != '_';
    if (!exact) {
        count = 0;
        numbers[0] = numbers[1] = numbers[2] = numbers[3] = 0;
    }
    plot->account_id = numbers[0];
    plot->start_nonce = numbers[1];
    plot->nonces = numbers[2];
    plot->stagger = numbers[3];
    return count == 4   ? plot_name_kind::poc1
           : count == 3 ? plot_name_kind::poc2
                        : plot_name_kind::none;
}

bool begins_like_plot_name(std::string_view name) {
    plot_file_s ignored;
    std::string_view bare = file_name_of(name);
    return parse_plot_file_name(bare, &ignored) == plot_name_kind::none &&
           numbers_at_start(bare) >= 3;
}

plot_file_kind classify_plot_file(const std::string& folder, const std::string& file_name,
                                  plot_file_s* plot) {
    *plot = plot_file_s{};
    plot->path = folder + "/" + file_name;
    switch (parse_plot_file_name(file_name, plot)) {
    case plot_name_kind::none:
        // The program's own files beside an output are expected there, not suspicious.
        if (ends_with(file_name, temporary_suffix) || ends_with(file_name, progress_suffix) ||
            ends_with(file_name, journal_suffix) || !begins_like_plot_name(file_name)) {
            return plot_file_kind::not_a_plot;
        }
        log_message("Skipping %s: its name only begins like a plot's\n", file_name.c_str());
        return plot_file_kind::resembles_plot;
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
