// The agent object the Bluetooth daemon calls, the watch on the daemon's bus
// name, and the run state both share with the run loop.
#pragma once

#include <csignal>
#include <cstdint>

#include <dbus/dbus.h>

struct agent_run_state {
    volatile sig_atomic_t interrupted;  // set by the SIGTERM / SIGINT handler
    char* passkey;                      // owned copy of the passkey operand
    int reject;                         // refuse PIN-code, passkey and authorization requests
    int terminated;                     // released by the daemon, or the daemon left the bus
    char* daemon_owner;                 // owned unique name of the connection owning "org.tavik", or none
};

extern agent_run_state run_state;

extern const DBusObjectPathVTable agent_object_table;

DBusHandlerResult agent_dispatch(DBusConnection* connection, DBusMessage* message, void* user_data);
DBusHandlerResult daemon_watch_filter(DBusConnection* connection, DBusMessage* message, void* user_data);

// Takes an owned copy (or none) as the connection whose calls are answered.
void follow_daemon_owner(char* owner);

// The daemon's name now belongs to new_owner, a unique name, or to no one
// when it is empty: the daemon has gone, which ends the run.
void daemon_owner_changed(const char* new_owner);

// The numeric passkey for a passkey text, read as a 32-bit strtoul would.
uint32_t passkey_number(const char* text);
