#include "support/temp_folder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

temp_folder_s::temp_folder_s() : temp_folder_s(std::filesystem::temp_directory_path().string()) {}

temp_folder_s::temp_folder_s(const std::string& under) {
    std::string pattern = under + "/scoopshift-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
        path = pattern;
    }
}

temp_folder_s::~temp_folder_s() {
    if (!path.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
}

std::string read_text_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
