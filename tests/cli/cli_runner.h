// scoopshift-cli as a separate process, the way a user runs it: standard input empty (no
// terminal), standard output and error captured in files of the working folder.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/temp_folder.h"

struct run_result_s {
    int status = -1; // the exit status; -1 when the process did not exit (a signal)
    std::string out;
    std::string err;
};

struct cli_process_s {
    pid_t pid = -1;
    std::string work_dir;
};

// Starts scoopshift-cli with `args` in `work_dir`; `prefix` runs it through another program
// first (setpriv, say). `before_exec` runs in the child just before exec.
template <typename Before = void (*)()>
cli_process_s start_cli(
    const std::string& work_dir, const std::vector<std::string>& args,
    const std::vector<std::string>& prefix = {}, Before before_exec = [] {}) {
    std::string out_path = work_dir + "/stdout.txt";
    std::string err_path = work_dir + "/stderr.txt";
    std::vector<std::string> command = prefix;
    command.push_back(SCOOPSHIFT_CLI);
    command.insert(command.end(), args.begin(), args.end());
    pid_t child = fork();
    if (child == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (in < 0 || out < 0 || err < 0 || chdir(work_dir.c_str()) != 0) {
            _exit(127);
        }
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        before_exec();
        std::vector<char*> argv;
        for (auto& part : command) {
            argv.push_back(part.data());
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return {child, work_dir};
}

// Waits for the process and collects what it printed.
inline run_result_s finish_cli(const cli_process_s& process) {
    run_result_s result;
    int wstatus = 0;
    if (process.pid > 0 && waitpid(process.pid, &wstatus, 0) == process.pid && WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    }
    result.out = read_text_file(process.work_dir + "/stdout.txt");
    result.err = read_text_file(process.work_dir + "/stderr.txt");
    return result;
}

inline run_result_s run_cli(const std::string& work_dir, const std::vector<std::string>& args) {
    return finish_cli(start_cli(work_dir, args));
}

inline bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// A budget of exactly `nonces` nonces of buffer capacity, as a GiB text (exact: 3072 / 2^30 is
// a binary fraction).
inline std::string budget_for(int nonces) {
    char text[64];
    std::snprintf(text, sizeof text, "%.20f", nonces / 8 * 3072.0 / (1024.0 * 1024.0 * 1024.0));
    return text;
}
