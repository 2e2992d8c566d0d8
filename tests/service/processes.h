// Running the service tool and its daemons the way the tests and the
// benchmark do.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "process.h"

struct Finished {
    std::string out;
    std::string err;
    int status;  // exit status, or 128 + signal number
};

// The current environment with `extra` ("NAME=value") entries added.
inline std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> env = testsupport::environment();
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

// Starts a program in the background; its output goes to the end of the log.
inline std::unique_ptr<testsupport::Process> startLogged(const std::vector<std::string>& argv,
                                                         const std::vector<std::string>& env, const std::string& log) {
    testsupport::Command command(argv);
    command.env = env;
    command.out = testsupport::Stream::append(log);
    command.err = testsupport::Stream::sameAsStdout();
    return std::make_unique<testsupport::Process>(command);
}

// Runs a program to completion, capturing both output streams.
inline Finished runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    testsupport::Command command(argv);
    command.env = env;
    command.out = testsupport::Stream::pipe();
    command.err = testsupport::Stream::pipe();
    testsupport::Process program(command);
    const testsupport::Exit exit = program.finish(std::chrono::minutes(2));
    return {program.out(), program.err(), exit.shellStatus()};
}
