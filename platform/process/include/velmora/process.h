// Child processes for the tools, tests and benchmarks: started with their
// own argv, environment and standard streams, waited for with a deadline, and
// never left running or unreaped.
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

namespace velmora::proc {

using namespace std::chrono_literals;

// How a child ended.
struct Exit {
    bool exited = false;  // else killed by a signal
    int code = -1;        // exit status, or the signal number
    bool operator==(const Exit&) const = default;
    // As a shell reports it: the exit status, or 128 + the signal.
    int shellStatus() const { return exited ? code : 128 + code; }
};
Exit exitedWith(int code);
Exit killedBy(int signal);
std::string describe(const Exit& exit);

// Where one of a child's standard streams goes.
struct Stream {
    enum class Kind { inherit, null, pipe, file, append, sameAsStdout };
    Kind kind = Kind::inherit;
    std::string path;  // for file and append

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
    std::string program;  // the file to run, looked up in PATH without a '/'; empty: argv[0]
    // NAME=value entries; none: this process's environment at the start.
    std::optional<std::vector<std::string>> env;
    Stream in = Stream::null();  // inherit, null or file
    Stream out = Stream::inherit();
    Stream err = Stream::inherit();
    bool closeOtherFds = false;  // only 0, 1 and 2 open in the child, as from a shell
};

// This process's environment without the variables `drop` picks by name.
std::vector<std::string> environment(const std::function<bool(std::string_view name)>& drop = {});

// The whole file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// A running child. Killed (SIGKILL) and reaped on destruction if still
// there; its pipes are closed. One still running when the program calls
// exit() gets SIGTERM.
class Process {
public:
    // Throws std::system_error, with the reason's errno, when the program
    // cannot be started: not found, not executable, a stream's file not
    // opened. Under qemu-user, whose spawn is a plain fork, such a child
    // exits with status 127 instead.
    explicit Process(const Command& command);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return x_pid; }
    // Sends a signal unless the child has already been reaped.
    void signal(int number) const;

    // Reaps the child once it ends; none if it is still running at the
    // timeout. Sleeps until the child ends rather than polling, where the
    // kernel offers a pidfd.
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
    bool killedAtDeadline() const { return x_killedAtDeadline; }

    // Standard output (error) so far: what was pumped from a pipe, or what
    // the file holds now.
    std::string out() const { return captured(x_out); }
    std::string err() const { return captured(x_err); }
    // Waits until standard output (or error) holds the text; false at the
    // timeout or when a piped stream ends without it.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = 5s, bool onStderr = false);

    // Resources the child used, once it has been reaped.
    const rusage& usage() const { return x_usage; }
    // The VmRSS of the running child, in KiB; -1 if unknown.
    long residentKiB() const;

private:
    struct Output {
        Stream stream;
        int fd = -1;  // read end of the pipe while open
        std::string text;
    };
    std::string captured(const Output& output) const;
    bool reap(int options);

    pid_t x_pid = -1;
    int x_pidfd = -1;  // readable once the child has ended; -1 where the kernel has none
    std::optional<Exit> x_exit;
    rusage x_usage{};
    Output x_out;
    Output x_err;
    bool x_killedAtDeadline = false;
};

}  // namespace velmora::proc
