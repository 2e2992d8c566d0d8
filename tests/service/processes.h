// Starting, running and stopping the real programs the tests drive.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct Finished {
    std::string out;
    std::string err;
    int status;  // exit status, or 128 + signal number
};

// The current environment with `extra` ("NAME=value") entries added.
std::vector<std::string> environmentWith(const std::vector<std::string>& extra);

// Runs a program to completion, capturing both output streams.
Finished runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env);

// Starts a program in the background; its output goes to `logPath`.
pid_t startProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& logPath);

// SIGTERM, then SIGKILL if it has not gone within a second; reaps it.
void stopProgram(pid_t pid);

// A fresh directory under $TMPDIR (or /tmp), removed with removeTree.
std::string makeTempDir();
void removeTree(const std::string& path);

std::string readFile(const std::string& path);
