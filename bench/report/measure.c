/* measure FILE [--stop-after TEXT N] [--timeout SECONDS] COMMAND...
 *
 * Runs COMMAND once and appends "WALL_S CPU_S MAXRSS_KIB" to FILE: wall time
 * from fork to reaping, the child's user + system CPU and peak resident set
 * from wait4. The child's standard output is read (and dropped) here; with
 * --stop-after the child gets SIGTERM once N of its output lines hold TEXT,
 * which counts as a normal end, and its output is no longer waited for. Past the timeout (default 60 s) it is killed
 * and the run fails. Status 0 for a run that counts, 1 otherwise. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static int usage(void) {
    fprintf(stderr, "usage: measure FILE [--stop-after TEXT N] [--timeout SECONDS] COMMAND...\n");
    return 2;
}

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    const char* file = argv[1];
    const char* text = NULL;
    long wanted = 0;
    double timeout = 60;
    int i = 2;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; i++) {
        if (strcmp(argv[i], "--stop-after") == 0 && i + 2 < argc) {
            text = argv[++i];
            wanted = strtol(argv[++i], NULL, 10);
        } else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
            timeout = strtod(argv[++i], NULL);
        } else {
            return usage();
        }
    }
    if (i == argc || (text && wanted < 1) || !(timeout > 0)) return usage();

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        perror("measure: pipe");
        return 1;
    }
    const double start = now();
    const pid_t pid = fork();
    if (pid < 0) {
        perror("measure: fork");
        return 1;
    }
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        execvp(argv[i], argv + i);
        fprintf(stderr, "measure: cannot run %s: %s\n", argv[i], strerror(errno));
        _exit(127);
    }
    close(out[1]);

    /* Lines are matched one at a time; a longer line is matched in pieces. */
    char line[4096];
    size_t used = 0;
    long seen = 0;
    int stopped = 0, timedOut = 0;
    while (!stopped) {
        const double left = start + timeout - now();
        if (left <= 0) {
            kill(pid, SIGKILL);
            timedOut = 1;
            break;
        }
        struct pollfd p = {out[0], POLLIN, 0};
        if (poll(&p, 1, (int)(left * 1000) + 1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (!p.revents) continue;
        const ssize_t n = read(out[0], line + used, sizeof line - 1 - used);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        used += (size_t)n;
        line[used] = '\0';
        char *begin = line, *end;
        while ((end = strchr(begin, '\n')) || (used == sizeof line - 1 && begin == line)) {
            if (end) *end = '\0';
            if (text && !stopped && strstr(begin, text) && ++seen >= wanted) {
                kill(pid, SIGTERM);
                stopped = 1;
            }
            begin = end ? end + 1 : line + used;
        }
        used -= (size_t)(begin - line);
        memmove(line, begin, used);
    }
    close(out[0]);

    int status = 0;
    struct rusage usage;
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            perror("measure: wait4");
            return 1;
        }
    }
    const double wall = now() - start;
    if (timedOut) {
        fprintf(stderr, "measure: %s did not end within %g s\n", argv[i], timeout);
        return 1;
    }
    const int exited0 = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const int ok = exited0 || (stopped && WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    if (!ok) {
        if (WIFSIGNALED(status))
            fprintf(stderr, "measure: %s killed by signal %d\n", argv[i], WTERMSIG(status));
        else
            fprintf(stderr, "measure: %s exited with %d\n", argv[i], WEXITSTATUS(status));
        return 1;
    }
    if (text && !stopped) {
        fprintf(stderr, "measure: %s ended before printing \"%s\" %ld times\n", argv[i], text, wanted);
        return 1;
    }

    FILE* f = fopen(file, "a");
    if (!f) {
        perror("measure: output file");
        return 1;
    }
    const double cpu = (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    fprintf(f, "%.6f %.6f %ld\n", wall, cpu, usage.ru_maxrss);
    return fclose(f) == 0 ? 0 : 1;
}
