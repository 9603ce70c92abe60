// scoopshift-cli --json as a script reads it: a separate process whose standard output is parsed
// line by line with a JSON parser, held against the outputs on disk, the summary for people on
// standard error, and the schema the manual page documents.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli_runner.h"
#include "farm_volumes.h"
#include "support/plot_files.h"
#include "util/size_text.h"

namespace {

using json = nlohmann::json;

// Every line of standard output as an event; a line that is not JSON fails the test.
std::vector<json> events_of(const std::string& out) {
    std::vector<json> events;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        json event = json::parse(line, nullptr, false);
        EXPECT_TRUE(event.is_object()) << "not a JSON object: " << line;
        events.push_back(event);
    }
    return events;
}

std::vector<json> of_type(const std::vector<json>& events, const std::string& type) {
    std::vector<json> found;
    for (const json& event : events) {
        if (event["type"] == type) {
            found.push_back(event);
        }
    }
    return found;
}

std::uint64_t file_size(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

// The fields of each subsection of the manual's JSON EVENTS ("Every event", "Event plan",
// "Object job", ...): the tag after each .TP or .TQ.
std::map<std::string, std::set<std::string>> manual_schema() {
    std::ifstream page(std::string(MANUAL_FOLDER) + "/scoopshift-cli.1");
    std::map<std::string, std::set<std::string>> schema;
    bool in_events = false;
    bool tag_next = false;
    std::string section;
    for (std::string line; std::getline(page, line);) {
        if (line.rfind(".SH ", 0) == 0) {
            in_events = line == ".SH JSON EVENTS";
        } else if (in_events && line.rfind(".SS ", 0) == 0) {
            section = line.substr(5, line.size() - 6); // .SS "Event plan"
            schema[section];
        } else if (in_events && (line == ".TP" || line == ".TQ")) {
            tag_next = true;
            continue;
        } else if (tag_next && line.rfind(".B ", 0) == 0 && !section.empty()) {
            schema[section].insert(line.substr(3));
        }
        tag_next = false;
    }
    return schema;
}

std::set<std::string> keys_of(const json& object) {
    std::set<std::string> keys;
    for (const auto& [key, value] : object.items()) {
        keys.insert(key);
    }
    return keys;
}

// Each object nested in `value` must have exactly the fields of one "Object ..." subsection.
void match_objects(const json& value, const std::map<std::string, std::set<std::string>>& schema,
                   std::set<std::string>& seen) {
    if (value.is_object()) {
        std::string match;
        for (const auto& [section, fields] : schema) {
            if (section.rfind("Object ", 0) == 0 && fields == keys_of(value)) {
                match = section;
            }
        }
        EXPECT_NE(match, "") << "no documented object has the fields of " << value.dump();
        seen.insert(match);
    }
    if (value.is_structured()) {
        for (const auto& [key, inner] : value.items()) {
            match_objects(inner, schema, seen);
        }
    }
}

// Every event has the common fields and those of its own subsection, and nothing more; every
// documented event and object was seen.
void expect_manual_documents(const std::vector<json>& events) {
    auto schema = manual_schema();
    ASSERT_TRUE(schema.count("Every event")) << "no JSON EVENTS section in the manual";
    std::set<std::string> seen;
    for (const json& event : events) {
        std::string section = "Event " + event["type"].get<std::string>();
        seen.insert(section);
        ASSERT_TRUE(schema.count(section)) << section << " is not documented";
        std::set<std::string> fields = schema[section];
        fields.insert(schema["Every event"].begin(), schema["Every event"].end());
        EXPECT_EQ(keys_of(event), fields) << section;
        for (const auto& [key, value] : event.items()) {
            match_objects(value, schema, seen);
        }
    }
    for (const auto& [section, fields] : schema) {
        EXPECT_TRUE(section == "Every event" || seen.count(section))
            << section << " is documented but never appeared";
    }
}

// "  Failed: 1" of the summary for people: the number after the heading, -1 when missing.
int human_count(const std::string& text, const std::string& heading) {
    std::size_t at = text.find("\n  " + heading + ": ");
    return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + heading.size() + 5);
}

class cli_json_test : public ::testing::Test {
  protected:
    temp_folder_s work, source, destination;
};

// One folder into another: a merged output, a source too long for its name, an output already
// there, and a file whose name is not UTF-8; nobody to ask.
TEST_F(cli_json_test, every_line_is_an_event_that_agrees_with_the_summary_and_the_manual) {
    std::vector<plot_spec_s> merged{{1, 0, 8}, {1, 8, 5}};
    plot_spec_s too_long{3, 0, 7};
    plot_spec_s there{2, 0, 4};
    for (const auto& plot : {merged[0], merged[1], too_long, there}) {
        ASSERT_FALSE(write_poc1_plot(source.path, plot).empty());
    }
    ASSERT_EQ(truncate((source.path + "/" + poc1_name(too_long)).c_str(), 8 * 262144), 0);
    { std::ofstream(destination.path + "/2_0_4") << "done before"; }
    std::string odd = source.path + "/4_0_8_8\xff\x1b[2J";
    { std::ofstream(odd) << "x"; }

    auto bad_log = run_cli(work.path, {"--json", "--log", work.path + "/no/such/folder/log",
                                       source.path, destination.path});
    EXPECT_EQ(bad_log.status, 2);
    EXPECT_EQ(bad_log.out, "") << "a mistake on the command line writes no event";
    EXPECT_NE(bad_log.err.find("cannot write the log " + work.path + "/no/such/folder/log"),
              std::string::npos)
        << bad_log.err;
    EXPECT_FALSE(exists(destination.path + "/1_0_13.swizzling")) << "nothing was started";

    auto r = run_cli(work.path, {"--json", "--log", "-", source.path, destination.path});
    EXPECT_EQ(r.status, 1) << r.err;
    std::vector<json> events = events_of(r.out);
    ASSERT_GE(events.size(), 3u) << r.out;
    EXPECT_EQ(events.front()["type"], "start");
    EXPECT_EQ(events.front()["schema"], 1);
    const json& summary = events.back();
    ASSERT_EQ(summary["type"], "summary") << r.out;
    EXPECT_EQ(summary["exit_status"], r.status);

    // The name that is not UTF-8 comes exactly, as hex; the log on standard error is escaped.
    json plan = of_type(events, "plan").at(0);
    ASSERT_EQ(plan["set_aside"].size(), 1u) << plan.dump();
    std::string hex;
    for (unsigned char byte : odd) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", byte);
        hex += two;
    }
    EXPECT_EQ(plan["set_aside"][0]["path"], json({{"hex", hex}}));
    EXPECT_EQ(plan["set_aside"][0]["reason"], "not_a_plot");
    EXPECT_NE(r.err.find(" Work thread started\n"), std::string::npos) << "log on stderr";
    EXPECT_NE(r.err.find("4_0_8_8\\xff\\x1b[2J"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(work.path + "/log_swizzle.txt"));

    // Done! took its safe answer by rule: every source is kept.
    json question = of_type(events, "question").at(0);
    EXPECT_EQ(question["title"], "Done!");
    EXPECT_EQ(question["answer"], "no");
    EXPECT_EQ(question["answered_by"], "rule");
    for (const auto& plot : merged) {
        EXPECT_TRUE(exists(source.path + "/" + poc1_name(plot)));
    }

    // The summary for people says what the summary event does, and both what is on disk.
    std::size_t human = r.err.find("Summary:\n");
    ASSERT_NE(human, std::string::npos) << r.err;
    std::string text = "\n" + r.err.substr(human);
    EXPECT_EQ(summary["converted"], 1);
    EXPECT_EQ(human_count(text, "Converted"), summary["converted"]);
    EXPECT_EQ(human_count(text, "Already there, sources kept"), summary["already_there"]);
    EXPECT_EQ(human_count(text, "Skipped"), summary["skipped"]);
    EXPECT_EQ(human_count(text, "Failed"), summary["failed"]);
    EXPECT_EQ(summary["bytes_converted"], file_size(destination.path + "/1_0_13"));
    EXPECT_NE(text.find(std::string("Converted: 1 (") +
                        size_text(summary["bytes_converted"].get<std::uint64_t>(), false) + ")"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(std::string("Written: ") +
                        size_text(summary["bytes_written"].get<std::uint64_t>(), false) + " in "),
              std::string::npos)
        << text;

    expect_manual_documents(events);
}

// Two streams of drives: one output fails, one file is set aside, Done! is answered by
// --delete-sources. Every event comes, in order, and the bytes add up to what is on disk.
TEST_F(cli_json_test, a_farm_reports_every_job_in_order_with_totals_that_match_the_disk) {
    farm_volumes_s drives;
    if (!drives.mounted()) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    std::map<std::string, std::vector<plot_spec_s>> sources_of{{"1_0_13", {{1, 0, 8}, {1, 8, 5}}},
                                                               {"5_0_4", {{5, 0, 4}}}};
    std::map<std::string, std::vector<plot_spec_s>> sources_of_b{{"2_0_16", {{2, 0, 16}}},
                                                                 {"3_0_7", {{3, 0, 7}}}};
    for (const auto& [output, plots] : sources_of) {
        for (const auto& plot : plots) {
            ASSERT_FALSE(write_poc1_plot(drives.source_a.path, plot).empty());
        }
    }
    for (const auto& [output, plots] : sources_of_b) {
        ASSERT_FALSE(write_poc1_plot(drives.source_b.path, plots[0]).empty());
        sources_of[output] = plots;
    }
    std::string too_long = drives.source_b.path + "/3_0_7_7";
    ASSERT_EQ(truncate(too_long.c_str(), 8 * 262144), 0);
    { std::ofstream(drives.source_b.path + "/9_0_8_8.part") << "a copy cut short"; }

    auto r =
        run_cli(work.path, {"--json", "--delete-sources", "--max-ram", budget_for(8),
                            drives.source_a.path, drives.source_b.path, "--destination",
                            drives.destination_c.path, "--destination", drives.destination_d.path});
    EXPECT_EQ(r.status, 1) << r.err;
    std::vector<json> events = events_of(r.out);
    ASSERT_GE(events.size(), 4u) << r.out;
    ASSERT_EQ(events[0]["type"], "start");
    ASSERT_EQ(events[1]["type"], "plan");
    ASSERT_EQ(events.back()["type"], "summary");
    const json& plan = events[1];
    const json& summary = events.back();

    ASSERT_EQ(plan["jobs"].size(), 4u) << plan.dump();
    ASSERT_EQ(plan["streams"].size(), 2u) << plan.dump();
    ASSERT_EQ(plan["set_aside"].size(), 1u);
    EXPECT_EQ(plan["set_aside"][0]["path"], drives.source_b.path + "/9_0_8_8.part");

    std::uint64_t on_disk = 0;
    std::set<std::string> deleted;
    for (const json& stream : plan["streams"]) {
        // This stream's job events: each job started and ended, one after the other, in order.
        std::vector<json> sequence;
        std::vector<std::size_t> positions;
        for (std::size_t i = 0; i < events.size(); ++i) {
            if ((events[i]["type"] == "job_start" || events[i]["type"] == "job_end") &&
                events[i]["stream"] == stream["stream"]) {
                sequence.push_back(events[i]);
                positions.push_back(i);
            }
        }
        ASSERT_EQ(sequence.size(), 2 * stream["jobs"].size()) << r.out;
        std::uint64_t written = 0;
        for (std::size_t k = 0; k < stream["jobs"].size(); ++k) {
            const json& job = plan["jobs"][stream["jobs"][k].get<std::size_t>()];
            EXPECT_EQ(job["stream"], stream["stream"]);
            const json& start = sequence[2 * k];
            const json& end = sequence[2 * k + 1];
            EXPECT_EQ(start["type"], "job_start");
            EXPECT_EQ(end["type"], "job_end");
            EXPECT_EQ(start["id"], job["id"]);
            EXPECT_EQ(end["id"], job["id"]);
            std::string output = job["output"];
            std::string name = output.substr(output.rfind('/') + 1);
            if (name == "3_0_7") {
                EXPECT_EQ(end["outcome"], "failed");
                EXPECT_NE(end["reason"].get<std::string>().find("longer than its name says"),
                          std::string::npos);
                EXPECT_FALSE(exists(output));
                bool error_between = false;
                for (std::size_t i = positions[2 * k]; i < positions[2 * k + 1]; ++i) {
                    error_between |=
                        events[i]["type"] == "message" && events[i]["title"] == "Error";
                }
                EXPECT_TRUE(error_between) << "the job's Error comes between its start and end";
                continue;
            }
            EXPECT_EQ(end["outcome"], "completed") << end.dump();
            EXPECT_EQ(check_poc2_file(output, sources_of[name]), "");
            EXPECT_EQ(file_size(output), job["bytes"]);
            written += file_size(output);
            for (const auto& source : job["sources"]) {
                deleted.insert(source.get<std::string>());
                EXPECT_FALSE(exists(source.get<std::string>()));
            }
        }
        on_disk += written;
        // Its progress counts up to the bytes of its completed outputs.
        std::vector<json> progress;
        for (const json& event : of_type(events, "progress")) {
            if (event["stream"] == stream["stream"]) {
                progress.push_back(event);
            }
        }
        ASSERT_GE(progress.size(), 2u) << "at the start and at the end";
        for (std::size_t i = 1; i < progress.size(); ++i) {
            EXPECT_LE(progress[i - 1]["bytes_written"], progress[i]["bytes_written"]);
            EXPECT_EQ(progress[i]["bytes_total"], stream["bytes"]);
        }
        EXPECT_EQ(progress.back()["bytes_written"], written);
    }
    EXPECT_TRUE(exists(too_long));

    // Done! after every output has ended, answered by the option.
    std::vector<json> questions = of_type(events, "question");
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0]["title"], "Done!");
    EXPECT_EQ(questions[0]["answer"], "yes");
    EXPECT_EQ(questions[0]["answered_by"], "rule");
    EXPECT_EQ(questions[0]["rule"], "--delete-sources");
    std::size_t asked = 0;
    std::size_t last_end = 0;
    for (std::size_t i = 0; i < events.size(); ++i) {
        asked = events[i]["type"] == "question" ? i : asked;
        last_end = events[i]["type"] == "job_end" ? i : last_end;
    }
    EXPECT_GT(asked, last_end);

    EXPECT_EQ(summary["converted"], 3);
    EXPECT_EQ(summary["failed"], 1);
    EXPECT_EQ(summary["skipped"], 0);
    EXPECT_EQ(summary["bytes_converted"], on_disk);
    EXPECT_EQ(summary["bytes_written"], on_disk);
    EXPECT_EQ(summary["end"], "finished");
    EXPECT_EQ(summary["exit_status"], 1);
    EXPECT_EQ(summary["deleted"].get<std::set<std::string>>(), deleted);
}

} // namespace
