// A fresh folder under the system's temporary folder, removed with its contents at scope end.
#pragma once

#include <string>

struct temp_folder_s {
    std::string path;
    temp_folder_s();
    explicit temp_folder_s(const std::string& under); // a fresh folder in `under` instead
    ~temp_folder_s();
    temp_folder_s(const temp_folder_s&) = delete;
    temp_folder_s& operator=(const temp_folder_s&) = delete;
};

// Reads a whole text file ("" when it cannot be read).
std::string read_text_file(const std::string& path);
