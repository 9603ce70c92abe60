#include <sys/stat.h>

#include <algorithm>

#include "catalogue_fixture.h"
#include "util/folders.h"

namespace {

using strings = std::vector<std::string>;

TEST_F(catalogue_test, listing_offers_files_only_and_stops_when_asked) {
    ASSERT_EQ(mkdir((source.path + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink((source.path + "/sub").c_str(), (source.path + "/link_to_sub").c_str()), 0);
    strings seen;
    enumerate_folder(source.path, [&](const std::string& name) {
        seen.push_back(name);
        return true;
    });
    EXPECT_TRUE(seen.empty()) << "a folder of folders offers nothing";

    for (auto name : {"a", "b", "c"}) {
        touch(source.path, name);
    }
    enumerate_folder(source.path + "/", [&](const std::string& name) {
        seen.push_back(name);
        return true;
    });
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (strings{"a", "b", "c"}));

    int calls = 0;
    enumerate_folder(source.path, [&](const std::string&) { return ++calls < 1; });
    EXPECT_EQ(calls, 1);
}

TEST_F(catalogue_test, a_missing_folder_is_logged_and_lists_nothing) {
    bool called = false;
    enumerate_folder(source.path + "/missing/", [&](const std::string&) { return called = true; });
    EXPECT_FALSE(called);
    EXPECT_NE(log_text().find("Failed to enumerate folder: " + source.path + "/missing/\n"),
              std::string::npos);
}

TEST_F(catalogue_test, adding_measures_once_plans_and_repaints) {
    int repaints = 0;
    set_repaint_handler([&] { ++repaints; });
    touch(source.path, "1_0_8_8");
    add_drive(source_list, source.path);
    EXPECT_EQ(repaints, 1);
    EXPECT_GT(source_drives[0].free_bytes, 0u);
    EXPECT_TRUE(the_plan().jobs.empty());

    add_drive(destination_list, destination.path);
    EXPECT_EQ(repaints, 2);
    EXPECT_EQ(the_plan().jobs.size(), 1u);

    add_drive(destination_list, destination.path);
    EXPECT_EQ(destination_drives.size(), 1u) << "a folder already in the list adds nothing";
    EXPECT_EQ(repaints, 2);

    add_drive(destination_list, source.path);
    add_drive(source_list, destination.path);
    EXPECT_EQ(destination_drives.size(), 2u) << "the same folder may be in both lists";
    EXPECT_EQ(source_drives.size(), 2u);
}

TEST_F(catalogue_test, removing_and_choosing_again_plans_the_new_folder) {
    temp_folder_s other;
    touch(source.path, "1_0_8_8");
    touch(other.path, "2_0_8_8");
    add_drive(source_list, source.path);
    add_drive(destination_list, destination.path);
    remove_drive(source_list, 0);
    plan_jobs();
    EXPECT_TRUE(the_plan().jobs.empty());
    add_drive(source_list, other.path);
    EXPECT_EQ(output_names(the_plan()), (strings{"2_0_8"}));

    remove_drive(destination_list, 0);
    plan_jobs();
    EXPECT_TRUE(the_plan().jobs.empty());
}

TEST_F(catalogue_test, free_space_that_cannot_be_read_is_zero_and_logged) {
    touch(source.path, "1_0_8_8");
    add_drive(source_list, source.path);
    add_drive(destination_list, destination.path + "/gone");
    EXPECT_EQ(destination_drives[0].free_bytes, 0u);
    EXPECT_NE(log_text().find("Received error 2 attempting to get disk free space for path " +
                              destination.path + "/gone\n"),
              std::string::npos);
    report_plan_shortfall(the_plan()); // the terminal's boxes; the window shows none
    EXPECT_EQ(shown_titles(boxes), (strings{"Error"})) << "no room on an unmeasured volume";
}

} // namespace
