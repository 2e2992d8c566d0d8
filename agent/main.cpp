// agent: a Bluetooth pairing agent on the D-Bus system bus.
#include <getopt.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dbus/dbus.h>

#include "agent_object.h"
#include "daemon_calls.h"

namespace {

const option long_options[] = {
    {"adapter", required_argument, nullptr, 'a'},
    {"path", required_argument, nullptr, 'p'},
    {"capabilites", required_argument, nullptr, 'c'},
    {"reject", no_argument, nullptr, 'r'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// What the entry owns, freed on every way out.
struct owned_strings {
    char* agent_path;
    char* device;
    char* adapter_path;
};

void print_usage() {
    printf("Bluetooth agent ver %s\n\n", "4.47");
    puts(
        "Usage:\n"
        "\tagent [--adapter adapter-path] [--path agent-path] <passkey> [<device>]\n");
}

void stop_signal_handler(int) { run_state.interrupted = 1; }

void free_owned(owned_strings* owned) {
    free(owned->adapter_path);
    free(owned->agent_path);
    free(owned->device);
    free(run_state.passkey);
    run_state.passkey = nullptr;
    follow_daemon_owner(nullptr);
}

[[noreturn]] void exit_freeing(owned_strings* owned, int status) {
    free_owned(owned);
    exit(status);
}

// Every string that goes into a message must be one that libdbus accepts:
// it aborts the process on an invalid object path or invalid UTF-8.
bool valid_text(const char* text) { return !text || dbus_validate_utf8(text, nullptr); }

}  // namespace

int main(int argc, char* argv[]) {
    char default_agent_path[128];
    snprintf(default_agent_path, sizeof default_agent_path, "/org/tavik/agent_%d", getpid());

    const char* capability = "DisplayYesNo";
    const char* adapter = nullptr;
    owned_strings owned = {};

    int opt;
    while ((opt = getopt_long(argc, argv, "+a:p:c:rh", long_options, nullptr)) != -1) {
        switch (opt) {
        case 'a':
            adapter = optarg;
            break;
        case 'p':
            if (optarg[0] != '/' || !dbus_validate_path(optarg, nullptr)) {
                fputs("Invalid path\n", stderr);
                exit_freeing(&owned, 1);
            }
            free(owned.agent_path);
            owned.agent_path = strdup(optarg);
            break;
        case 'c':
            capability = optarg;
            break;
        case 'r':
            run_state.reject = 1;
            break;
        case 'h':
            print_usage();
            exit_freeing(&owned, 0);
        default:
            exit_freeing(&owned, 1);
        }
    }

    int operands = argc - optind;
    if (operands < 1) {
        print_usage();
        exit_freeing(&owned, 1);
    }
    run_state.passkey = strdup(argv[optind]);
    if (operands > 1) owned.device = strdup(argv[optind + 1]);
    if (!owned.agent_path) owned.agent_path = strdup(default_agent_path);

    if (!valid_text(argv[optind]) || !valid_text(owned.device) || !valid_text(adapter) || !valid_text(capability)) {
        fputs("Invalid argument: not UTF-8 text\n", stderr);
        exit_freeing(&owned, 1);
    }

    DBusConnection* connection = dbus_bus_get(DBUS_BUS_SYSTEM, nullptr);
    if (!connection) {
        fputs("Can't get on system bus", stderr);
        exit_freeing(&owned, 1);
    }

    owned.adapter_path = adapter_lookup(connection, adapter);
    if (!owned.adapter_path) exit_freeing(&owned, 1);

    int result = owned.device ? pair_device(connection, owned.adapter_path, owned.agent_path, capability, owned.device)
                              : agent_register(connection, owned.adapter_path, owned.agent_path, capability);
    if (result < 0) {
        dbus_connection_unref(connection);
        exit_freeing(&owned, 1);
    }

    if (!dbus_connection_add_filter(connection, daemon_watch_filter, nullptr, nullptr))
        fputs("Can't add signal filter", stderr);

    char match[128];
    snprintf(match, sizeof match, "interface=%s,member=NameOwnerChanged,arg0=%s", "org.freedesktop.DBus", "org.tavik");
    dbus_bus_add_match(connection, match, nullptr);
    // Asked after the match rule: the bus answers in order, so every later
    // change of owner reaches the watch as a signal. Calls that came in
    // meanwhile wait in the queue and are judged against this owner. A
    // daemon already gone ends the run before the loop's first wait.
    daemon_owner_lookup(connection);

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = stop_signal_handler;
    action.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    while (!run_state.interrupted && !run_state.terminated) {
        if (!dbus_connection_read_write_dispatch(connection, 500)) break;
    }

    if (!run_state.terminated && !owned.device) agent_unregister(connection, owned.adapter_path, owned.agent_path);
    if (owned.device) dbus_connection_unregister_object_path(connection, owned.agent_path);

    free_owned(&owned);
    dbus_connection_unref(connection);
    return 0;
}
