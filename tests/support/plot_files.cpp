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

std::string check_poc2_file(const std::string& path, const std::vector<plot_spec_s>& sources) {
    std::uint64_t total = 0;
    for (const auto& source : sources) {
        total += source.nonces;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return "cannot open " + path;
    }
    std::string problem;
    auto run = std::make_unique<std::uint8_t[]>(total * scoop_bytes + 1);
    std::uint8_t low[64];
    std::uint8_t high[64];
    for (std::uint64_t s = 0; s < scoops && problem.empty(); ++s) {
        if (std::fread(run.get(), 1, total * scoop_bytes, file) != total * scoop_bytes) {
            problem = path + " is shorter than " + std::to_string(total) + " nonces";
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
                    problem = path + ": scoop " + std::to_string(s) + " of target nonce " +
                              std::to_string(t) + " (source " + std::to_string(j) + " nonce " +
                              std::to_string(k) + ") is wrong";
                    break;
                }
            }
        }
    }
    if (problem.empty() && std::fgetc(file) != EOF) {
        problem = path + " is longer than " + std::to_string(total) + " nonces";
    }
    std::fclose(file);
    return problem;
}
