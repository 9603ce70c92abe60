#include <unistd.h>

#include "catalogue/completion.h"
#include "catalogue_fixture.h"
#include "util/ui_tasks.h"

namespace {

using strings = std::vector<std::string>;

// Three completed jobs (one merged from three plots) in a fresh record, as a finished run
// leaves them; quitting is recorded instead of ending anything.
class completion_test : public catalogue_test {
  protected:
    conversion_plan_s record;
    int quit_status = -1;

    void SetUp() override {
        catalogue_test::SetUp();
        set_quit_handler([this](int status) { quit_status = status; });
        add_job({"1_0_10_10", "1_10_5_5", "1_15_5_5"});
        add_job({"2_0_8_8"});
        add_job({"3_0_8_8"});
    }
    void TearDown() override {
        set_quit_handler(nullptr);
        catalogue_test::TearDown();
    }
    void add_job(const strings& names) {
        conversion_job_s job;
        for (const auto& n : names) {
            touch(source.path, n);
            job.source_paths.push_back(source.path + "/" + n);
        }
        job.output_path = destination.path + "/out" + std::to_string(record.jobs.size());
        job.nonces = 8 * names.size();
        job.state = job_state::completed;
        record.jobs.push_back(std::move(job));
    }
    bool exists(const std::string& name) {
        return access((source.path + "/" + name).c_str(), F_OK) == 0;
    }
    strings deleting_lines() {
        strings lines;
        std::string log = log_text();
        for (std::size_t at = log.find("Deleting "); at != std::string::npos;
             at = log.find("Deleting ", at + 1)) {
            lines.push_back(log.substr(at + 9, log.find('\n', at) - at - 9));
        }
        return lines;
    }
};

TEST_F(completion_test, yes_deletes_every_source_in_job_order_then_quits) {
    ASSERT_EQ(unlink((source.path + "/1_10_5_5").c_str()), 0); // removed by hand before
    boxes.answers = {true};
    offer_source_deletion(record);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, "Done!");
    // The first sentence as it always was, then what Yes deletes.
    EXPECT_EQ(boxes.shown[0].text,
              "Swizzling has completed. Would you like the source files to be deleted for you?\n\n"
              "Yes deletes 5 source files (10.5 MB): those of the 3 PoC2 plots this run "
              "completed.");
    EXPECT_EQ(boxes.shown[0].kind, message_box_kind::yes_no);
    strings expected;
    for (auto n : {"1_0_10_10", "1_10_5_5", "1_15_5_5", "2_0_8_8", "3_0_8_8"}) {
        expected.push_back(source.path + "/" + n);
        EXPECT_FALSE(exists(n)) << n;
    }
    EXPECT_EQ(deleting_lines(), expected);
    EXPECT_EQ(quit_status, 0);
}

TEST_F(completion_test, no_deletes_nothing_and_still_quits) {
    boxes.answers = {false};
    offer_source_deletion(record);
    EXPECT_TRUE(deleting_lines().empty());
    EXPECT_TRUE(exists("1_0_10_10") && exists("2_0_8_8") && exists("3_0_8_8"));
    EXPECT_EQ(quit_status, 0);
}

TEST_F(completion_test, sources_of_jobs_that_did_not_complete_survive_yes) {
    record.jobs[0].state = job_state::failed;
    record.jobs[0].failure = "a source could not be read";
    record.jobs[2].state = job_state::planned;
    boxes.answers = {true};
    offer_source_deletion(record);

    ASSERT_EQ(shown_titles(boxes), (strings{"Warning", "Done!"}));
    const std::string& warning = boxes.shown[0].text;
    EXPECT_NE(warning.find(record.jobs[0].output_path + ": a source could not be read"),
              std::string::npos);
    EXPECT_NE(warning.find(record.jobs[2].output_path + ": it was not converted"),
              std::string::npos);
    EXPECT_EQ(warning.find(record.jobs[1].output_path), std::string::npos);
    EXPECT_NE(warning.find("kept"), std::string::npos);

    // "Done!" says what Yes deletes, and what it keeps whatever the answer, and why.
    const std::string& done = boxes.shown[1].text;
    EXPECT_NE(done.find("Yes deletes 1 source file (2.1 MB): that of the PoC2 plot this run "
                        "completed.\nKept whatever you answer:\n- 4 source files of 2 PoC2 plots "
                        "that did not complete:\n    out0: a source could not be read\n    "
                        "out2: it was not converted"),
              std::string::npos)
        << done;

    EXPECT_TRUE(exists("1_0_10_10") && exists("1_10_5_5") && exists("1_15_5_5"));
    EXPECT_TRUE(exists("3_0_8_8"));
    EXPECT_FALSE(exists("2_0_8_8"));
    EXPECT_EQ(deleting_lines(), (strings{source.path + "/2_0_8_8"}));
    EXPECT_NE(log_text().find("Keeping " + source.path + "/1_10_5_5 because " +
                              record.jobs[0].output_path + " did not complete"),
              std::string::npos);
    EXPECT_EQ(quit_status, 1);
}

TEST_F(completion_test, with_nothing_completed_there_is_no_question) {
    for (auto& job : record.jobs) {
        job.state = job_state::failed;
    }
    offer_source_deletion(record);
    EXPECT_EQ(shown_titles(boxes), (strings{"Warning"}));
    EXPECT_TRUE(exists("2_0_8_8"));
    EXPECT_EQ(quit_status, 1);
}

} // namespace
