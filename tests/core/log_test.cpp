#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_folder.h"
#include "util/log.h"

namespace {

// Runs each test in its own working folder, since the fallback log is "log.txt" there.
class log_test : public ::testing::Test {
  protected:
    temp_folder_s folder;
    std::string previous_dir;

    void SetUp() override {
        char buffer[4096];
        ASSERT_NE(getcwd(buffer, sizeof buffer), nullptr);
        previous_dir = buffer;
        ASSERT_EQ(chdir(folder.path.c_str()), 0);
        close_log_file();
    }
    void TearDown() override {
        close_log_file();
        set_message_box_handler(nullptr);
        ASSERT_EQ(chdir(previous_dir.c_str()), 0);
    }
};

// Whether text[at..] starts with a "YYYY-MM-DD HH:MM:SS " timestamp.
bool stamp_at(const std::string& text, std::size_t at) {
    const char* shape = "dddd-dd-dd dd:dd:dd ";
    for (std::size_t i = 0; shape[i] != '\0'; ++i) {
        char c = at + i < text.size() ? text[at + i] : '\0';
        bool fits = shape[i] == 'd' ? c >= '0' && c <= '9' : c == shape[i];
        if (!fits) {
            return false;
        }
    }
    return true;
}

constexpr std::size_t stamp_length = 20;

// The message of a log line after its timestamp, or "<no timestamp>".
std::string message_of(const std::string& line) {
    return stamp_at(line, 0) ? line.substr(stamp_length) : "<no timestamp>";
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

TEST_F(log_test, long_messages_are_kept_whole_up_to_16383_characters) {
    ASSERT_TRUE(open_log_file("log_swizzle.txt"));
    std::string medium(3000, 'm');
    std::string huge(20000, 'h');
    ::testing::internal::CaptureStderr();
    log_message("%s\n", medium.c_str());
    log_message("%s", huge.c_str());
    std::string debug = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(debug, medium + "\n" + huge.substr(0, 16383));
    auto lines = lines_of(read_text_file("log_swizzle.txt"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(message_of(lines[0]), medium);
    EXPECT_EQ(message_of(lines[1]), huge.substr(0, 16383));
}

TEST_F(log_test, a_message_without_line_break_runs_into_the_next_timestamp) {
    ASSERT_TRUE(open_log_file("log_swizzle.txt"));
    ::testing::internal::CaptureStderr();
    log_message("first ");
    log_message("second %d\n", 2);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "first second 2\n");
    std::string text = read_text_file("log_swizzle.txt");
    EXPECT_TRUE(stamp_at(text, 0)) << text;
    EXPECT_EQ(text.substr(stamp_length, 6), "first ");
    EXPECT_TRUE(stamp_at(text, stamp_length + 6)) << text;
    EXPECT_EQ(text.substr(2 * stamp_length + 6), "second 2\n");
}

TEST_F(log_test, falls_back_to_log_txt_when_the_log_cannot_be_created) {
    // A folder of that name cannot be opened as a file, even by root.
    ASSERT_EQ(mkdir("log_swizzle.txt", 0755), 0);
    EXPECT_FALSE(open_log_file("log_swizzle.txt"));
    EXPECT_FALSE(log_file_is_open());
    ::testing::internal::CaptureStderr();
    log_message("one\n");
    log_message("two\n");
    ::testing::internal::GetCapturedStderr();
    auto lines = lines_of(read_text_file("log.txt"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" one"), std::string::npos);
    EXPECT_NE(lines[1].find(" two"), std::string::npos);
}

TEST_F(log_test, concurrent_lines_never_interleave_and_the_fallback_opens_once) {
    constexpr int threads = 4;
    constexpr int per_thread = 200;
    ::testing::internal::CaptureStderr();
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < per_thread; ++i) {
                log_message("thread %d line %d\n", t, i);
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    ::testing::internal::GetCapturedStderr();
    auto lines = lines_of(read_text_file("log.txt"));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(threads * per_thread));
    std::vector<int> next(threads, 0);
    for (const auto& l : lines) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(message_of(l).c_str(), "thread %d line %d", &t, &i), 2) << l;
        ASSERT_TRUE(t >= 0 && t < threads) << l;
        EXPECT_EQ(i, next[t]++) << "each thread's lines arrive whole and in order";
    }
}

TEST_F(log_test, verify_logs_only_failed_checks) {
    ASSERT_TRUE(open_log_file("log_swizzle.txt"));
    ::testing::internal::CaptureStderr();
    verify(true, "swizzler", 81);
    verify(false, "swizzler", 232);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Assertion failure swizzler : 232\n");
}

TEST_F(log_test, boxes_reach_the_host_handler_with_their_owner_and_answer) {
    struct box_s {
        int window;
        std::string title, text;
        message_box_kind kind;
    };
    std::vector<box_s> boxes;
    set_message_box_handler(
        [&](int window, const char* title, const char* text, message_box_kind kind) {
            boxes.push_back({window, title, text, kind});
            return true;
        });
    std::string long_path(2000, 'p');
    show_message(-1, "Error", "Failed to write to file. Error %d", 28);
    EXPECT_TRUE(ask_yes_no(0, "Out of space", "Could not open file:\n %s\n", long_path.c_str()));
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].window, -1);
    EXPECT_EQ(boxes[0].title, "Error");
    EXPECT_EQ(boxes[0].text, "Failed to write to file. Error 28");
    EXPECT_EQ(boxes[0].kind, message_box_kind::ok);
    EXPECT_EQ(boxes[1].window, 0);
    EXPECT_EQ(boxes[1].text, "Could not open file:\n " + long_path + "\n");
    EXPECT_EQ(boxes[1].kind, message_box_kind::yes_no);

    set_message_box_handler([](int, const char*, const char*, message_box_kind) { return false; });
    EXPECT_FALSE(ask_yes_no(0, "Done!", "question"));
}

TEST_F(log_test, without_a_host_boxes_go_to_standard_error_and_questions_answer_no) {
    ::testing::internal::CaptureStderr();
    show_message(0, "Warning", "slow %s", "disk");
    bool answer = ask_yes_no(0, "Done!", "delete?");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(answer);
    EXPECT_NE(err.find("Warning"), std::string::npos);
    EXPECT_NE(err.find("slow disk"), std::string::npos);
    EXPECT_FALSE(log_file_is_open()) << "boxes never write to the log";
}

} // namespace
