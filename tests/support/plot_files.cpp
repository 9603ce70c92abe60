#include "support/plot_files.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr std::uint64_t scoops = 4096;
constexpr std::uint64_t scoop_bytes = 64;

std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    x ^= x >> 31;
    return x;
}

} // namespace

std::string poc1_name(const plot_spec_s& plot) {
    return std::to_string(plot.account_id) + "_" + std::to_string(plot.start_nonce) + "_" +
           std::to_string(plot.nonces) + "_" + std::to_string(plot.nonces);
}

void poc1_scoop(const plot_spec_s& plot, std::uint64_t nonce, std::uint64_t scoop,
                std::uint8_t* out) {
    std::uint64_t file = mix(plot.account_id ^ mix(plot.start_nonce ^ mix(plot.nonces)));
    std::uint64_t h = mix(file ^ mix((plot.start_nonce + nonce) * scoops + scoop));
    for (int i = 0; i < 64; ++i) {
        // The position term (i * 37, odd) is different for each of the 64 bytes, so that no
        // two bytes of a scoop, and in particular no two halves, are alike.
        out[i] = static_cast<std::uint8_t>((h >> (8 * (i & 7))) ^ (i * 37u));
    }
}

std::vector<std::uint8_t> poc1_plot_bytes(const plot_spec_s& plot) {
    std::vector<std::uint8_t> bytes(plot.nonces * scoops * scoop_bytes);
    for (std::uint64_t s = 0; s < scoops; ++s) {
        for (std::uint64_t k = 0; k < plot.nonces; ++k) {
            poc1_scoop(plot, k, s, bytes.data() + (s * plot.nonces + k) * scoop_bytes);
        }
    }
    return bytes;
}

std::string write_poc1_plot(const std::string& folder, const plot_spec_s& plot) {
    std::string path = folder + "/" + poc1_name(plot);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return "";
    }
    auto run = std::make_unique<std::uint8_t[]>(plot.nonces * scoop_bytes + 1);
    bool ok = true;
    for (std::uint64_t s = 0; s < scoops && ok; ++s) {
        for (std::uint64_t k = 0; k < plot.nonces; ++k) {
            poc1_scoop(plot, k, s, run.get() + k * scoop_bytes);
        }
        ok =
            std::fwrite(run.get(), 1, plot.nonces * scoop_bytes, file) == plot.nonces * scoop_bytes;
    }
    ok = std::fclose(file) == 0 && ok;
    return ok ? path : "";
}

namespace {

// Checks the runs that `read_run` gives (false: there is no such run), then that `more` finds
// nothing after them.
template <typename Read, typename More>
std::string check_poc2(const std::string& name, const std::vector<plot_spec_s>& sources,
                       Read read_run, More more) {
    std::uint64_t total = 0;
    for (const auto& source : sources) {
        total += source.nonces;
    }
    std::string problem;
    auto run = std::make_unique<std::uint8_t[]>(total * scoop_bytes + 1);
    std::uint8_t low[64];
    std::uint8_t high[64];
    for (std::uint64_t s = 0; s < scoops && problem.empty(); ++s) {
        if (!read_run(s, total * scoop_bytes, run.get())) {
            problem = name + " is shorter than " + std::to_string(total) + " nonces";
            break;
        }
        // Target nonce t of scoop s: the source nonce it came from, first half of its PoC1
        // scoop s and second half of its PoC1 scoop 4095 - s.
        std::uint64_t t = 0;
        for (std::size_t j = 0; j < sources.size() && problem.empty(); ++j) {
            for (std::uint64_t k = 0; k < sources[j].nonces; ++k, ++t) {
                poc1_scoop(sources[j], k, s, low);
                poc1_scoop(sources[j], k, scoops - 1 - s, high);
                const std::uint8_t* got = run.get() + t * scoop_bytes;
                if (std::memcmp(got, low, 32) != 0 || std::memcmp(got + 32, high + 32, 32) != 0) {
                    problem = name + ": scoop " + std::to_string(s) + " of target nonce " +
                              std::to_string(t) + " (source " + std::to_string(j) + " nonce " +
                              std::to_string(k) + ") is wrong";
                    break;
                }
            }
        }
    }
    if (problem.empty() && more()) {
        problem = name + " is longer than " + std::to_string(total) + " nonces";
    }
    return problem;
}

} // namespace

std::string check_poc2_file(const std::string& path, const std::vector<plot_spec_s>& sources) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return "cannot open " + path;
    }
    std::string problem = check_poc2(
        path, sources,
        [file](std::uint64_t, std::uint64_t bytes, std::uint8_t* into) {
            return std::fread(into, 1, bytes, file) == bytes;
        },
        [file] { return std::fgetc(file) != EOF; });
    std::fclose(file);
    return problem;
}

std::string check_poc2_bytes(const std::vector<std::uint8_t>& bytes, const std::string& name,
                             const std::vector<plot_spec_s>& sources) {
    std::uint64_t run_bytes = 0;
    return check_poc2(
        name, sources,
        [&](std::uint64_t scoop, std::uint64_t length, std::uint8_t* into) {
            run_bytes = length;
            if ((scoop + 1) * length > bytes.size()) {
                return false;
            }
            std::memcpy(into, bytes.data() + scoop * length, length);
            return true;
        },
        [&] { return bytes.size() > scoops * run_bytes; });
}
