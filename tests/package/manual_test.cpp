// The manual pages render with man and document exactly the options that each program's --help
// lists, with the same argument names.
#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <sstream>
#include <string>

#include "command.h"

namespace {

// "--max-ram GIB" or "--help": an option and the argument it takes, if any.
std::string option_with_argument(std::istringstream& words) {
    std::string option, argument;
    words >> option >> argument;
    bool is_argument = !argument.empty() && argument.find_first_not_of(
                                                "ABCDEFGHIJKLMNOPQRSTUVWXYZ_") == std::string::npos;
    return is_argument ? option + " " + argument : option;
}

// The options of a --help text: the lines that start with two blanks and a dash.
std::set<std::string> options_of_help(const std::string& help) {
    std::set<std::string> options;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("  -", 0) == 0) {
            std::istringstream words(line);
            options.insert(option_with_argument(words));
        }
    }
    return options;
}

// The options a rendered page documents: the tags (indented by seven blanks, starting with a
// dash) of its OPTIONS section.
std::set<std::string> options_of_page(const std::string& page) {
    std::set<std::string> options;
    std::istringstream lines(page);
    bool in_options = false;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != ' ') {
            in_options = line == "OPTIONS";
            continue;
        }
        if (in_options && line.rfind("       -", 0) == 0) {
            std::istringstream words(line);
            options.insert(option_with_argument(words));
        }
    }
    return options;
}

struct manual_case_s {
    const char* program;
    const char* page;
    const char* name_line;
};

void PrintTo(const manual_case_s& manual, std::ostream* out) {
    *out << manual.page;
}

class manual_test : public ::testing::TestWithParam<manual_case_s> {};

TEST_P(manual_test, the_page_renders_and_documents_every_option_of_help) {
    if (!have_tool("man")) {
        GTEST_SKIP() << "man is not installed (scripts/install-deps.sh installs man-db)";
    }
    const manual_case_s& manual = GetParam();
    std::string page = std::string(MANUAL_FOLDER) + "/" + manual.page;
    // A wide page, so that no option is broken across lines; groff's warnings on standard error.
    command_result_s rendered =
        run_command("LC_ALL=C.UTF-8 MANWIDTH=200 man --warnings -l " + shell_quoted(page));
    ASSERT_EQ(rendered.status, 0) << rendered.errors;
    EXPECT_EQ(rendered.errors, "") << "man or groff warned about " << manual.page;
    EXPECT_NE(rendered.output.find(std::string("NAME\n       ") + manual.name_line + "\n"),
              std::string::npos)
        << rendered.output;

    command_result_s help = run_command(shell_quoted(manual.program) + " --help");
    ASSERT_EQ(help.status, 0);
    std::set<std::string> from_help = options_of_help(help.output);
    ASSERT_GE(from_help.size(), 2u) << "no options found in --help:\n" << help.output;
    EXPECT_EQ(options_of_page(rendered.output), from_help)
        << "the OPTIONS of " << manual.page << " and the options of --help differ";
}

INSTANTIATE_TEST_SUITE_P(
    pages, manual_test,
    ::testing::Values(
        manual_case_s{SCOOPSHIFT_CLI, "scoopshift-cli.1",
                      "scoopshift-cli - convert PoC1 plot files to PoC2 without a desktop"},
        manual_case_s{SCOOPSHIFT_PROGRAM, "scoopshift.1",
                      "scoopshift - convert PoC1 plot files to PoC2 in a desktop window"}),
    [](const ::testing::TestParamInfo<manual_case_s>& info) {
        return info.index == 0 ? std::string("terminal_front_end") : std::string("window");
    });

} // namespace
