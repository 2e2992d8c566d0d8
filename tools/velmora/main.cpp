// velmora: the one command on PATH for the programs installed in the
// project's private directory. `velmora TOOL ARG...` replaces itself with
// TOOL, started as argv[0] = TOOL, so every byte the program prints (its
// usage line, its "TOOL: " prefixes, getopt's complaints) is what it prints
// under its own name, and its exit status and signals reach the caller as
// they are.
//
// libc only, like the tools it starts: it runs before every one of them.

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// Statuses no program behind it ends with (they use 0 to 20, and refresh a
// negated errno, 123 and up), so a caller can tell them from the program's.
static const int kUnknownProgram = 64;
static const int kCannotStart = 69;

struct Program {
    const char* name;
    const char* summary;
};

// The programs it starts, and nothing else: a name is looked up here, never
// taken as a path.
static const Program kPrograms[] = {
    {"agent", "Bluetooth pairing agent on the D-Bus system bus"},
    {"service", "list, check and call the platform's IPC services"},
    {"filter", "draw a 4x4 texture in six pixel formats through EGL and OpenGL ES 1.x"},
    {"refresh", "set a framebuffer to 16 bpp, report its mode and measure its refresh rate"},
    {"filter-verify", "check filter's frames against computed references"},
    {"bluetooth-sim", "simulated Bluetooth daemon on a private system bus"},
    {"servicemanager", "stand-in for the platform's IPC service manager"},
    {"demo-services", "a service host with a few services to try service on"},
};

static const char kUsage[] =
    "usage: velmora PROGRAM [ARGUMENT...]\n"
    "       velmora [-h|--help] [--version]\n";

// False with errno set when the result would not fit.
static bool joined(char (&path)[PATH_MAX], const char* first, const char* second) {
    if (snprintf(path, sizeof path, "%s%s", first, second) < int(sizeof path)) return true;
    errno = ENAMETOOLONG;
    return false;
}

// The private directory: VELMORA_PROGRAM_DIR, relative to this program's
// own directory unless absolute, so that an installed tree can be moved.
// False with errno set when it cannot be found.
static bool programDirectory(char (&dir)[PATH_MAX]) {
    char self[PATH_MAX] = "";
    if (VELMORA_PROGRAM_DIR[0] != '/') {
        const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        if (length <= 0) return false;
        self[length] = '\0';
        strrchr(self, '/')[1] = '\0';
    }
    char path[PATH_MAX];
    return joined(path, self, VELMORA_PROGRAM_DIR) && realpath(path, dir);
}

static bool programPath(char (&path)[PATH_MAX], const char* dir, const char* name) {
    char slashed[PATH_MAX];
    return joined(slashed, dir, "/") && joined(path, slashed, name);
}

// The usage and the programs that are there: one package may be installed
// without the other.
static int listPrograms() {
    char dir[PATH_MAX];
    const bool found = programDirectory(dir);
    fputs(kUsage, stdout);
    printf("programs%s%s%s:\n", found ? " (in " : "", found ? dir : "", found ? ")" : "");
    for (const Program& program : kPrograms) {
        char path[PATH_MAX];
        if (found && programPath(path, dir, program.name) && access(path, X_OK) == 0)
            printf("  %-16s%s\n", program.name, program.summary);
    }
    fputs("In velmora-sandbox they run by their own names.\n", stdout);
    return fflush(stdout) == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : nullptr;
    if (!name || strcmp(name, "-h") == 0 || strcmp(name, "--help") == 0) return listPrograms();
    if (strcmp(name, "--version") == 0) {
        printf("velmora %s\n", VELMORA_VERSION);
        return fflush(stdout) == 0 ? 0 : 1;
    }
    const Program* program = nullptr;
    for (const Program& candidate : kPrograms)
        if (strcmp(name, candidate.name) == 0) program = &candidate;
    if (!program) {
        fprintf(stderr, "velmora: unknown %s '%s' (velmora --help lists the programs)\n",
                name[0] == '-' ? "option" : "program", name);
        return kUnknownProgram;
    }

    char dir[PATH_MAX];
    char path[PATH_MAX];
    if (!programDirectory(dir) || !programPath(path, dir, program->name)) {
        fprintf(stderr, "velmora: cannot find its programs: %s\n", strerror(errno));
        return kCannotStart;
    }
    // argv[1] is the name as typed, which is the program's own name.
    execv(path, argv + 1);
    fprintf(stderr, "velmora: cannot run %s: %s\n", path, strerror(errno));
    return kCannotStart;
}
