// The agent's calls to the Bluetooth daemon. Each reports its own failure on
// standard error and returns none (nullptr) or -1.
#pragma once

#include <dbus/dbus.h>

// Owned copies of the adapter's object path, or nullptr.
char* default_adapter_lookup(DBusConnection* connection);
char* adapter_lookup(DBusConnection* connection, const char* adapter);

// Asks the bus which connection owns the daemon's name and follows the
// answer as the watch follows NameOwnerChanged: a name without owner means
// the daemon has gone, which ends the run. Any other failure is reported and
// leaves no owner known, so calls are refused until the watch learns one.
void daemon_owner_lookup(DBusConnection* connection);

int agent_register(DBusConnection* connection, const char* adapter_path, const char* agent_path,
                   const char* capability);
int agent_unregister(DBusConnection* connection, const char* adapter_path, const char* agent_path);

// Registers the agent object at agent_path, then asks the daemon to pair the
// device without waiting for its answer.
int pair_device(DBusConnection* connection, const char* adapter_path, const char* agent_path, const char* capability,
                const char* device);
