#include "process.h"

#include <unistd.h>

#include <elf.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

namespace {

// The ELF machine this code was built for.
constexpr uint16_t ownMachine() {
#if defined(__aarch64__)
    return EM_AARCH64;
#elif defined(__arm__)
    return EM_ARM;
#elif defined(__x86_64__)
    return EM_X86_64;
#elif defined(__i386__)
    return EM_386;
#else
    return EM_NONE;
#endif
}

// The non-empty pieces of `text` between separators.
std::vector<std::string> words(std::string_view text, char separator = ' ') {
    std::vector<std::string> result;
    size_t at = 0;
    while ((at = text.find_first_not_of(separator, at)) != std::string_view::npos) {
        size_t end = std::min(text.find(separator, at), text.size());
        result.emplace_back(text.substr(at, end - at));
        at = end;
    }
    return result;
}

// The command that runs programs of another machine here (qemu-user, from
// VELMORA_EMULATOR or, in a cross build, the build's own emulator), and the
// machine it runs.
struct Emulator {
    std::vector<std::string> command;
    uint16_t machine = EM_NONE;
};

Emulator emulator() {
    const char* configured = getenv("VELMORA_EMULATOR");
#ifdef VELMORA_CROSS_EMULATOR
    if (!configured) configured = VELMORA_CROSS_EMULATOR;
#endif
    Emulator e;
    if (!configured || !*configured) return e;
    e.command = words(configured);
    const std::string name = std::filesystem::path(e.command.at(0)).filename();
    e.machine = name == "qemu-aarch64"  ? EM_AARCH64
                : name == "qemu-arm"    ? EM_ARM
                : name == "qemu-x86_64" ? EM_X86_64
                                        : ownMachine();
    return e;
}

// The machine of an ELF executable; EM_NONE for anything else (a script).
uint16_t machineOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char header[EI_NIDENT + 4] = {};
    if (!in.read(reinterpret_cast<char*>(header), sizeof header) || header[EI_MAG0] != ELFMAG0 ||
        header[EI_MAG1] != ELFMAG1 || header[EI_MAG2] != ELFMAG2 || header[EI_MAG3] != ELFMAG3)
        return EM_NONE;
    // e_machine, in the file's own byte order.
    const unsigned char* m = header + EI_NIDENT + 2;
    return header[EI_DATA] == ELFDATA2MSB ? uint16_t(m[0] << 8 | m[1]) : uint16_t(m[1] << 8 | m[0]);
}

// `program` as posix_spawnp would find it.
std::string located(const std::string& program) {
    if (program.find('/') != std::string::npos) return program;
    const char* path = getenv("PATH");
    for (const std::string& dir : words(std::string(path ? path : "/usr/bin:/bin"), ':'))
        if (access((dir + "/" + program).c_str(), X_OK) == 0) return dir + "/" + program;
    return program;
}

// VELMORA_SWAP_DIR and VELMORA_SWAP_PROGRAMS (comma-separated names) take the
// named programs from another build, e.g. native stand-ins for emulated tools.
std::string swapped(const std::string& program) {
    const char* dir = getenv("VELMORA_SWAP_DIR");
    const char* names = getenv("VELMORA_SWAP_PROGRAMS");
    if (!dir || !*dir || !names) return program;
    const std::string name = std::filesystem::path(program).filename();
    for (const std::string& swap : words(names, ','))
        if (swap == name) return std::string(dir) + "/" + name;
    return program;
}

// Rewrites a command for a program of the emulated machine so that qemu
// runs it. The guest's LD_PRELOAD goes to qemu's -E: the host's loader,
// which runs qemu, must never try to load a library of the guest.
void emulate(std::string& program, std::vector<std::string>& argv, std::vector<std::string>& env) {
    const Emulator e = emulator();
    if (e.command.empty() || e.machine == EM_NONE || machineOf(program) != e.machine) return;
    std::vector<std::string> wrapped = e.command;
    if (argv.at(0) != program) wrapped.insert(wrapped.end(), {"-0", argv[0]});
    for (auto entry = env.begin(); entry != env.end();) {
        if (entry->starts_with("LD_PRELOAD=")) {
            wrapped.insert(wrapped.end(), {"-E", *entry});
            entry = env.erase(entry);
        } else {
            ++entry;
        }
    }
    // Mesa's llvmpipe compiles its shaders under emulation and may not
    // finish a frame in minutes; softpipe draws the same pixels in seconds.
    if (std::none_of(env.begin(), env.end(),
                     [](const std::string& entry) { return entry.starts_with("GALLIUM_DRIVER="); }))
        wrapped.insert(wrapped.end(), {"-E", "GALLIUM_DRIVER=softpipe"});
    wrapped.push_back(program);
    wrapped.insert(wrapped.end(), argv.begin() + 1, argv.end());
    argv = std::move(wrapped);
    program = argv[0];
}

// The command as the library is to start it: the program found, swapped
// and, for the emulated machine, wrapped in the emulator.
Command prepared(const Command& command) {
    Command ready = command;
    ready.program = swapped(located(command.program.empty() ? command.argv.at(0) : command.program));
    ready.env = command.env ? *command.env : environment();
    emulate(ready.program, ready.argv, *ready.env);
    return ready;
}

}  // namespace

bool emulated() {
#ifdef VELMORA_CROSS_EMULATOR
    return true;
#else
    return false;
#endif
}

std::vector<std::string> runnable(std::vector<std::string> argv) {
    std::string program = swapped(located(argv.at(0)));
    // What runs is what the command line names: a swapped program too.
    argv[0] = program;
    std::vector<std::string> env;
    emulate(program, argv, env);
    return argv;
}

std::filesystem::path guestRoot() {
    const Emulator e = emulator();
    for (size_t i = 0; i + 1 < e.command.size(); ++i)
        if (e.command[i] == "-L") return e.command[i + 1];
    return {};
}

bool othersCanReach(const std::filesystem::path& path) {
    namespace fs = std::filesystem;
    const auto others = [](const fs::path& entry, fs::perms wanted) {
        std::error_code error;
        const fs::file_status status = fs::status(entry, error);
        return !error && fs::exists(status) && (status.permissions() & wanted) != fs::perms::none;
    };
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    if (error || !others(absolute, fs::perms::others_read)) return false;
    for (fs::path dir = absolute.parent_path();; dir = dir.parent_path()) {
        if (!others(dir, fs::perms::others_exec)) return false;
        if (dir == dir.root_path()) return true;
    }
}

std::vector<std::string> runnableByOthers(std::vector<std::string> argv, const std::filesystem::path& dir,
                                          std::string* why) {
    namespace fs = std::filesystem;
    if (!othersCanReach(dir / ".")) {
        *why = "other users cannot reach " + dir.string();
        return {};
    }
    const std::string program = swapped(located(argv.at(0)));
    const Emulator e = emulator();
    const bool guest = !e.command.empty() && e.machine != EM_NONE && machineOf(program) == e.machine;
    const fs::path root = guest ? guestRoot() : fs::path();

    // The loader lists what the program loads, by the paths it found.
    Command trace({program});
    if (guest)
        trace.argv = e.command, trace.argv.insert(trace.argv.end(), {"-E", "LD_TRACE_LOADED_OBJECTS=1", program});
    else
        trace.env = environment(), trace.env->push_back("LD_TRACE_LOADED_OBJECTS=1");
    trace.out = Stream::pipe();
    Process tracing(trace);
    if (tracing.finish(2min) != exitedWith(0)) {
        *why = "cannot list the libraries of " + program;
        return {};
    }

    std::error_code error;
    const fs::path copy = dir / fs::path(program).filename();
    fs::copy_file(program, copy, fs::copy_options::overwrite_existing, error);
    std::vector<std::string> libraries;
    std::istringstream lines(tracing.out());
    for (std::string line; !error && std::getline(lines, line);) {
        const size_t arrow = line.find("=> ");
        std::string path = line.substr(arrow == std::string::npos ? line.find_first_not_of(" \t") : arrow + 3);
        path = path.substr(0, path.find(" ("));
        if (!path.starts_with("/")) continue;
        const fs::path host = guest && fs::exists(root / path.substr(1)) ? root / path.substr(1) : fs::path(path);
        if (othersCanReach(host)) continue;
        // The guest finds its copy at the same path in its root; the host's
        // loader finds it through LD_LIBRARY_PATH.
        const fs::path target = guest ? dir / "root" / path.substr(1) : dir / "lib" / fs::path(path).filename();
        fs::create_directories(target.parent_path(), error);
        if (!error) fs::copy_file(host, target, fs::copy_options::overwrite_existing, error);
        libraries.push_back(path);
    }
    if (error) {
        *why = "cannot copy " + program + " and its libraries into " + dir.string() + ": " + error.message();
        return {};
    }

    std::vector<std::string> command;
    if (guest) {
        command = e.command;
        for (size_t i = 0; i + 1 < command.size(); ++i)
            if (command[i] == "-L") command[i + 1] = (dir / "root").string();
        if (argv[0] != program) command.insert(command.end(), {"-0", argv[0]});
    } else if (!libraries.empty()) {
        command = {"env", "LD_LIBRARY_PATH=" + (dir / "lib").string()};
    }
    command.push_back(copy.string());
    command.insert(command.end(), argv.begin() + 1, argv.end());
    return command;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(interval);
    }
    return true;
}

Process::Process(const Command& command) : velmora::proc::Process(prepared(command)) {}

}  // namespace testsupport
