#include "command.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "support/temp_folder.h"

command_result_s run_command(const std::string& command) {
    command_result_s result;
    temp_folder_s folder;
    std::string errors_path = folder.path + "/errors";
    std::string line = "( " + command + " ) 2>" + shell_quoted(errors_path);
    FILE* pipe = popen(line.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.output.append(buffer, n);
    }
    int status = pclose(pipe);
    result.status = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.errors = read_text_file(errors_path);
    return result;
}

bool have_tool(const std::string& tool) {
    return run_command("command -v " + shell_quoted(tool)).status == 0;
}

std::string shell_quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}
