// Running a program under test and collecting what it printed.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct ProcessOptions {
    mode_t umask = 022;
    // Runs the program with no capabilities at all (root included), so that
    // permission bits apply to it as to any user.
    bool without_capabilities = false;
};

struct RunningProcess {
    pid_t pid = -1;
    int out_fd = -1;
    int err_fd = -1;
};

struct ProcessResult {
    int status = -1; // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

RunningProcess start_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});
ProcessResult finish_process(RunningProcess& process);
ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});
