// Running the system's tools from a test: a shell command's status and output.
#pragma once

#include <string>

struct command_result_s {
    int status = -1;    // exit status; -1 when it could not run or was killed
    std::string output; // standard output
    std::string errors; // standard error
};

// Runs `command` with /bin/sh and collects what it printed.
command_result_s run_command(const std::string& command);

// True when `tool` is on the PATH.
bool have_tool(const std::string& tool);

// The text quoted for the shell.
std::string shell_quoted(const std::string& text);
