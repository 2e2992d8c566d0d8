// Child processes for tests and benchmarks: the project's process library,
// with the programs of a cross build run through its emulator and the
// helpers that only tests need.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "velmora/process.h"

namespace testsupport {

using namespace std::chrono_literals;

using velmora::proc::Command;
using velmora::proc::describe;
using velmora::proc::environment;
using velmora::proc::Exit;
using velmora::proc::exitedWith;
using velmora::proc::killedBy;
using velmora::proc::readFile;
using velmora::proc::Stream;

// True in a cross build, whose tests and programs run under an emulator.
bool emulated();
// The command line that runs `argv` from here: through the emulator when
// argv[0] is a program of the emulated machine, as Process starts it.
std::vector<std::string> runnable(std::vector<std::string> argv);

// The root the emulator gives the programs it runs (qemu's -L), where their
// loader, libraries and data files are; empty when there is none.
std::filesystem::path guestRoot();

// True when a user other than the owner, in none of its groups, can reach
// `path` (every directory above it searchable by others) and read it.
bool othersCanReach(const std::filesystem::path& path);

// The command line that runs `argv` as another user, who may not reach this
// build (a clone in root's home): the program and the libraries it loads at
// start, where others cannot reach them, are copied into `dir`, which others
// must reach. Under emulation the copied libraries make up the guest's root.
// Empty, with the reason in *why, when no such copy can be made.
std::vector<std::string> runnableByOthers(std::vector<std::string> argv, const std::filesystem::path& dir,
                                          std::string* why);

// Polls `done` until it holds or the time is up.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = 10ms);

// The library's child, with the program looked up in PATH and, when it is
// one of the emulated machine, run through the emulator (see runnable), and
// with VELMORA_SWAP_DIR's programs in place of those VELMORA_SWAP_PROGRAMS
// names.
class Process : public velmora::proc::Process {
public:
    // Throws std::runtime_error when the program cannot be started.
    explicit Process(const Command& command);
};

}  // namespace testsupport
