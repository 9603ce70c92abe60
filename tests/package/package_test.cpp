// The Debian package as a user gets it: built with CPack from this build, its contents listed,
// checked by the distribution's own validators, unpacked, and the unpacked programs run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "command.h"
#include "support/plot_files.h"
#include "support/temp_folder.h"

namespace {

const std::string version = SCOOPSHIFT_VERSION;

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// Width and height from a PNG's header; 0 x 0 when the file is not a PNG.
std::pair<std::uint32_t, std::uint32_t> png_size(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    unsigned char header[24] = {};
    if (!file.read(reinterpret_cast<char*>(header), sizeof header) || header[1] != 'P' ||
        header[2] != 'N' || header[3] != 'G') {
        return {0, 0};
    }
    auto big_endian = [&](int at) {
        return std::uint32_t{header[at]} << 24 | std::uint32_t{header[at + 1]} << 16 |
               std::uint32_t{header[at + 2]} << 8 | header[at + 3];
    };
    return {big_endian(16), big_endian(20)};
}

class package_test : public ::testing::Test {
  protected:
    // Built once for every test: the package and its unpacked tree.
    static inline std::unique_ptr<temp_folder_s> folder;
    static inline std::string package;  // path of the .deb, "" when it was not built
    static inline std::string unpacked; // where dpkg-deb -x put its files
    static inline std::string why_not;  // why there is no package

    static void SetUpTestSuite() {
        for (const char* tool : {"cpack", "dpkg-deb", "dpkg-shlibdeps", "dpkg"}) {
            if (!have_tool(tool)) {
                why_not = std::string(tool) + " is not installed (scripts/install-deps.sh)";
                return;
            }
        }
        folder = std::make_unique<temp_folder_s>();
        std::string architecture = run_command("dpkg --print-architecture").output;
        while (!architecture.empty() && architecture.back() == '\n') {
            architecture.pop_back();
        }
        command_result_s built = run_command("cd " + shell_quoted(BUILD_FOLDER) +
                                             " && cpack -G DEB -B " + shell_quoted(folder->path));
        std::string expected =
            folder->path + "/scoopshift_" + version + "_" + architecture + ".deb";
        if (built.status != 0 || !exists(expected)) {
            why_not = "cpack did not make " + expected + ":\n" + built.output + built.errors;
            return;
        }
        package = expected;
        unpacked = folder->path + "/unpacked";
        command_result_s extracted =
            run_command("dpkg-deb -x " + shell_quoted(package) + " " + shell_quoted(unpacked));
        if (extracted.status != 0) {
            why_not = "dpkg-deb -x failed: " + extracted.errors;
            package.clear();
        }
    }

    static void TearDownTestSuite() { folder.reset(); }

    void SetUp() override { ASSERT_FALSE(package.empty()) << why_not; }
};

TEST_F(package_test, holds_both_programs_the_desktop_entry_every_icon_metainfo_and_manuals) {
    command_result_s listing = run_command("dpkg-deb -c " + shell_quoted(package));
    ASSERT_EQ(listing.status, 0) << listing.errors;
    std::set<std::string> files;
    std::istringstream lines(listing.output);
    for (std::string line; std::getline(lines, line);) {
        std::size_t path = line.find(" ./");
        if (line[0] == '-' && path != std::string::npos) {
            files.insert(line.substr(path + 2));
        }
    }
    const std::vector<std::string> expected = {
        "/usr/bin/scoopshift",
        "/usr/bin/scoopshift-cli",
        "/usr/share/applications/scoopshift.desktop",
        "/usr/share/icons/hicolor/16x16/apps/scoopshift.png",
        "/usr/share/icons/hicolor/32x32/apps/scoopshift.png",
        "/usr/share/icons/hicolor/48x48/apps/scoopshift.png",
        "/usr/share/icons/hicolor/256x256/apps/scoopshift.png",
        "/usr/share/metainfo/io.github.scoopshift.scoopshift.metainfo.xml",
        "/usr/share/man/man1/scoopshift.1.gz",
        "/usr/share/man/man1/scoopshift-cli.1.gz",
        "/usr/share/doc/scoopshift/copyright",
        "/usr/share/doc/scoopshift/changelog.gz",
    };
    EXPECT_EQ(files, std::set<std::string>(expected.begin(), expected.end())) << listing.output;

    // Each icon is as large as the folder it sits in says.
    for (std::uint32_t size : {16u, 32u, 48u, 256u}) {
        std::string side = std::to_string(size);
        std::string icon =
            unpacked + "/usr/share/icons/hicolor/" + side + "x" + side + "/apps/scoopshift.png";
        EXPECT_EQ(png_size(icon), std::make_pair(size, size)) << icon;
    }

    // The version is the project's, and the libraries the programs need were found in them.
    command_result_s control = run_command("dpkg-deb -f " + shell_quoted(package) +
                                           " Package Version Architecture Depends");
    ASSERT_EQ(control.status, 0);
    EXPECT_NE(control.output.find("Package: scoopshift\n"), std::string::npos) << control.output;
    EXPECT_NE(control.output.find("Version: " + version + "\n"), std::string::npos);
    for (const char* library : {"libc6 (>=", "libgtk-3-0 (>=", "libglib2.0-0 (>=", "libstdc++6"}) {
        EXPECT_NE(control.output.find(library), std::string::npos) << library << control.output;
    }
}

TEST_F(package_test, lintian_desktop_file_validate_and_appstreamcli_report_no_errors) {
    for (const char* tool : {"lintian", "desktop-file-validate", "appstreamcli"}) {
        if (!have_tool(tool)) {
            GTEST_SKIP() << tool << " is not installed (scripts/install-deps.sh installs it)";
        }
    }
    // lintian exits with 2 on errors only; warnings and notes are printed but allowed.
    command_result_s lint =
        run_command("lintian --no-cfg --fail-on error " + shell_quoted(package));
    EXPECT_EQ(lint.status, 0) << lint.output << lint.errors;
    EXPECT_EQ(lint.output.find("E: "), std::string::npos) << lint.output;

    command_result_s desktop =
        run_command("desktop-file-validate " +
                    shell_quoted(unpacked + "/usr/share/applications/scoopshift.desktop"));
    EXPECT_EQ(desktop.status, 0) << desktop.output << desktop.errors;

    // The metainfo with the desktop entry and icons it refers to, as software centres read them.
    command_result_s appstream =
        run_command("appstreamcli validate-tree --no-net " + shell_quoted(unpacked));
    EXPECT_EQ(appstream.status, 0) << appstream.output << appstream.errors;
}

TEST_F(package_test, the_unpacked_programs_answer_help_and_version_and_convert_a_folder) {
    std::string cli = unpacked + "/usr/bin/scoopshift-cli";
    std::string program = unpacked + "/usr/bin/scoopshift";
    command_result_s help = run_command(shell_quoted(cli) + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.output.rfind("usage: scoopshift-cli", 0), 0u) << help.output;
    help = run_command(shell_quoted(program) + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.output.rfind("usage: scoopshift", 0), 0u) << help.output;
    EXPECT_EQ(run_command(shell_quoted(cli) + " --version").output,
              "scoopshift-cli " + version + "\n");
    EXPECT_EQ(run_command(shell_quoted(program) + " --version").output,
              "scoopshift " + version + "\n");

    temp_folder_s work, source, destination;
    std::vector<plot_spec_s> plots{{7, 0, 16}, {7, 16, 9}};
    for (const auto& plot : plots) {
        ASSERT_FALSE(write_poc1_plot(source.path, plot).empty());
    }
    command_result_s converted =
        run_command("cd " + shell_quoted(work.path) + " && " + shell_quoted(cli) +
                    " --max-ram 0.00001 --delete-sources " + shell_quoted(source.path) + " " +
                    shell_quoted(destination.path) + " </dev/null");
    ASSERT_EQ(converted.status, 0) << converted.output << converted.errors;
    EXPECT_EQ(check_poc2_file(destination.path + "/7_0_25", plots), "");
    for (const auto& plot : plots) {
        EXPECT_FALSE(exists(source.path + "/" + poc1_name(plot))) << poc1_name(plot);
    }
    EXPECT_TRUE(exists(work.path + "/log_swizzle.txt"));
}

} // namespace
