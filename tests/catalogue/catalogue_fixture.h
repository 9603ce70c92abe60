// A clean catalogue for each test: empty folder lists, merging on, a scripted box handler,
// the log in a temporary folder, and a fresh conversion record.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "catalogue/conversion_plan.h"
#include "catalogue/drives.h"
#include "catalogue/planning.h"
#include "support/scripted_boxes.h"
#include "support/temp_folder.h"
#include "util/log.h"

class catalogue_test : public ::testing::Test {
  protected:
    temp_folder_s source;
    temp_folder_s destination;
    temp_folder_s logs;
    scripted_boxes_s boxes;

    void SetUp() override {
        source_drives.clear();
        destination_drives.clear();
        merge_adjacent = true;
        the_plan().jobs.clear();
        ASSERT_TRUE(open_log_file((logs.path + "/log_swizzle.txt").c_str()));
        install_scripted_boxes(boxes);
    }
    void TearDown() override {
        remove_scripted_boxes();
        close_log_file();
        set_repaint_handler(nullptr);
        source_drives.clear();
        destination_drives.clear();
        the_plan().jobs.clear();
    }

    // An empty file of that name: planning reads names only.
    void touch(const std::string& folder, const std::string& name) {
        std::ofstream(folder + "/" + name).put('\0');
    }

    // Chooses the folders without measuring free space, so a test can set it exactly.
    void choose(const std::string& from, const std::string& to, std::uint64_t free_bytes) {
        source_drives.push_back({from, 0, 0, {}});
        destination_drives.push_back({to, free_bytes, 0, {}});
    }

    std::string log_text() { return read_text_file(logs.path + "/log_swizzle.txt"); }

    static std::vector<std::string> output_names(const conversion_plan_s& record) {
        std::vector<std::string> names;
        for (const auto& job : record.jobs) {
            names.push_back(job.output_path.substr(job.output_path.rfind('/') + 1));
        }
        return names;
    }
};
