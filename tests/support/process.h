// Child processes for tests and benchmarks: started with their own argv,
// environment and standard streams, waited for with a deadline, and never
// left running or unreaped.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testsupport {

using namespace std::chrono_literals;

// How a child ended.
struct Exit {
    bool exited = false; // else killed by a signal
    int code = -1;       // exit status, or the signal number
    bool operator==(const Exit &) const = default;
    // As a shell reports it: the exit status, or 128 + the signal.
    int shellStatus() const { return exited ? code : 128 + code; }
};
Exit exitedWith(int code);
Exit killedBy(int signal);
std::string describe(const Exit &exit);

// Where one of a child's standard streams goes.
struct Stream {
    enum class Kind { inherit, null, pipe, file, append, sameAsStdout };
    Kind kind = Kind::inherit;
    std::string path; // for file and append

    static Stream inherit() { return {}; }
    static Stream null() { return {Kind::null, {}}; }
    // Captured by the parent: see Process::pump and Process::out.
    static Stream pipe() { return {Kind::pipe, {}}; }
    static Stream file(std::string path) { return {Kind::file, std::move(path)}; }
    static Stream append(std::string path) { return {Kind::append, std::move(path)}; }
    // Standard error only: where standard output goes.
    static Stream sameAsStdout() { return {Kind::sameAsStdout, {}}; }
};

struct Command {
    explicit Command(std::vector<std::string> words) : argv(std::move(words)) {}

    std::vector<std::string> argv;
    std::string program; // the file to run, looked up in PATH without a '/'; empty: argv[0]
    // NAME=value entries; none: this process's environment at the start.
    std::optional<std::vector<std::string>> env;
    Stream in = Stream::null(); // inherit, null or file
    Stream out = Stream::inherit();
    Stream err = Stream::inherit();
    bool closeOtherFds = false; // only 0, 1 and 2 open in the child, as from a shell
};

// This process's environment without the variables `drop` picks by name.
std::vector<std::string> environment(const std::function<bool(std::string_view name)> &drop = {});

std::string readFile(const std::filesystem::path &path);

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
bool othersCanReach(const std::filesystem::path &path);

// The command line that runs `argv` as another user, who may not reach this
// build (a clone in root's home): the program and the libraries it loads at
// start, where others cannot reach them, are copied into `dir`, which others
// must reach. Under emulation the copied libraries make up the guest's root.
// Empty, with the reason in *why, when no such copy can be made.
std::vector<std::string> runnableByOthers(std::vector<std::string> argv, const std::filesystem::path &dir,
                                          std::string *why);

// Polls `done` until it holds or the time is up.
bool waitUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = 10ms);

// A running child. Killed (SIGKILL) and reaped on destruction if still
// there; its pipes are closed. One still running when the program calls
// exit() gets SIGTERM.
class Process {
  public:
    // Throws std::runtime_error when the program cannot be started.
    explicit Process(const Command &command);
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const { return pid_; }
    // Sends a signal unless the child has already been reaped.
    void signal(int number) const;

    // Reaps the child once it ends; none if it is still running at the timeout.
    std::optional<Exit> wait(std::chrono::milliseconds timeout);
    Exit wait();
    // SIGTERM, then SIGKILL if it is still there after `grace`.
    Exit stop(std::chrono::milliseconds grace = 5s);

    // Reads what the piped streams deliver within the timeout; false once
    // every piped stream is at its end (or none is piped).
    bool pump(std::chrono::milliseconds timeout);
    // Reads the piped streams to their end and reaps the child. At the
    // deadline the child is killed (see killedAtDeadline) and given five
    // more seconds to let its output go.
    Exit finish(std::chrono::milliseconds timeout);
    bool killedAtDeadline() const { return killedAtDeadline_; }

    // Standard output (error) so far: what was pumped from a pipe, or what
    // the file holds now.
    std::string out() const { return captured(out_); }
    std::string err() const { return captured(err_); }
    // Waits until standard output (or error) holds the text; false at the
    // timeout or when a piped stream ends without it.
    bool waitForOutput(const std::string &text, std::chrono::milliseconds timeout = 5s, bool onStderr = false);

    // Resources the child used, once it has been reaped.
    const rusage &usage() const { return usage_; }
    // The VmRSS of the running child, in KiB; -1 if unknown.
    long residentKiB() const;

  private:
    struct Output {
        Stream stream;
        int fd = -1; // read end of the pipe while open
        std::string text;
    };
    std::string captured(const Output &output) const;
    void reaped(int status);

    pid_t pid_ = -1;
    std::optional<Exit> exit_;
    rusage usage_{};
    Output out_;
    Output err_;
    bool killedAtDeadline_ = false;
};

} // namespace testsupport
