#include "daemon_calls.h"

#include <cstdio>
#include <cstring>

#include "agent_object.h"

namespace {

const char daemon_name[] = "org.tavik";
const char manager_interface[] = "org.tavik.Manager";
const char adapter_interface[] = "org.tavik.Adapter";

DBusMessage *new_call(const char *path, const char *interface, const char *member)
{
    DBusMessage *call = dbus_message_new_method_call(daemon_name, path, interface, member);
    if (!call)
        fputs("Can't allocate new method call\n", stderr);
    return call;
}

void print_error_detail(DBusError *error)
{
    if (dbus_error_is_set(error)) {
        fprintf(stderr, "%s\n", error->message);
        dbus_error_free(error);
    }
}

void finish_exchange(DBusConnection *connection, DBusMessage *reply)
{
    dbus_message_unref(reply);
    dbus_connection_flush(connection);
}

// Sends the call (and releases it) and waits for the daemon's method return:
// 0, or -1 after the failure message (formatted with "argument") and the
// error detail. The reply goes to reply_out when asked for.
int call_daemon(DBusConnection *connection, DBusMessage *call, const char *failure, const char *argument,
                DBusMessage **reply_out)
{
    DBusError error;
    dbus_error_init(&error);
    DBusMessage *reply = dbus_connection_send_with_reply_and_block(connection, call, -1, &error);
    dbus_message_unref(call);
    if (!reply) {
        fprintf(stderr, failure, argument);
        print_error_detail(&error);
        return -1;
    }
    if (reply_out)
        *reply_out = reply;
    else
        finish_exchange(connection, reply);
    return 0;
}

// An owned copy of the first argument (of that type) of the reply to the
// call, or nullptr.
char *read_reply_text(DBusConnection *connection, DBusMessage *call, int type, const char *failure,
                      const char *argument)
{
    DBusMessage *reply;
    if (call_daemon(connection, call, failure, argument, &reply) < 0)
        return nullptr;

    DBusError error;
    dbus_error_init(&error);

    const char *text;
    if (!dbus_message_get_args(reply, &error, type, &text, DBUS_TYPE_INVALID)) {
        fputs("Can't get reply arguments\n", stderr);
        print_error_detail(&error);
        dbus_message_unref(reply);
        return nullptr;
    }
    char *copy = strdup(text);
    finish_exchange(connection, reply);
    return copy;
}

bool serve_agent_object(DBusConnection *connection, const char *agent_path)
{
    if (!dbus_connection_register_object_path(connection, agent_path, &agent_object_table, nullptr)) {
        fputs("Can't register object path for agent\n", stderr);
        return false;
    }
    return true;
}

} // namespace

char *default_adapter_lookup(DBusConnection *connection)
{
    DBusMessage *call = new_call("/", manager_interface, "DefaultAdapter");
    if (!call)
        return nullptr;
    return read_reply_text(connection, call, DBUS_TYPE_OBJECT_PATH, "Can't get default adapter\n", "");
}

char *adapter_lookup(DBusConnection *connection, const char *adapter)
{
    if (!adapter)
        return default_adapter_lookup(connection);

    DBusMessage *call = new_call("/", manager_interface, "FindAdapter");
    if (!call)
        return nullptr;
    dbus_message_append_args(call, DBUS_TYPE_STRING, &adapter, DBUS_TYPE_INVALID);
    return read_reply_text(connection, call, DBUS_TYPE_OBJECT_PATH, "Can't find adapter %s\n", adapter);
}

int agent_register(DBusConnection *connection, const char *adapter_path, const char *agent_path,
                   const char *capability)
{
    if (!serve_agent_object(connection, agent_path))
        return -1;

    DBusMessage *call = new_call(adapter_path, adapter_interface, "RegisterAgent");
    if (!call)
        return -1;
    dbus_message_append_args(call, DBUS_TYPE_OBJECT_PATH, &agent_path, DBUS_TYPE_STRING, &capability,
                             DBUS_TYPE_INVALID);
    return call_daemon(connection, call, "Can't register agent\n", "", nullptr);
}

int agent_unregister(DBusConnection *connection, const char *adapter_path, const char *agent_path)
{
    DBusMessage *call = new_call(adapter_path, adapter_interface, "UnregisterAgent");
    if (!call)
        return -1;
    dbus_message_append_args(call, DBUS_TYPE_OBJECT_PATH, &agent_path, DBUS_TYPE_INVALID);
    if (call_daemon(connection, call, "Can't unregister agent\n", "", nullptr) < 0)
        return -1;
    dbus_connection_unregister_object_path(connection, agent_path);
    return 0;
}

int pair_device(DBusConnection *connection, const char *adapter_path, const char *agent_path,
                const char *capability, const char *device)
{
    // The daemon calls the agent while it pairs, so the object must be there
    // before the request goes out.
    if (!serve_agent_object(connection, agent_path))
        return -1;

    DBusMessage *call = new_call(adapter_path, adapter_interface, "CreatePairedDevice");
    if (!call)
        return -1;
    dbus_message_append_args(call, DBUS_TYPE_STRING, &device, DBUS_TYPE_OBJECT_PATH, &agent_path,
                             DBUS_TYPE_STRING, &capability, DBUS_TYPE_INVALID);

    dbus_bool_t queued = dbus_connection_send(connection, call, nullptr);
    dbus_message_unref(call);
    if (!queued) {
        fputs("Not enough memory for message send\n", stderr);
        return -1;
    }
    dbus_connection_flush(connection);
    return 0;
}

char *daemon_owner_lookup(DBusConnection *connection)
{
    DBusMessage *call =
        dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "GetNameOwner");
    if (!call) {
        fputs("Can't allocate new method call\n", stderr);
        return nullptr;
    }
    const char *name = daemon_name;
    dbus_message_append_args(call, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
    return read_reply_text(connection, call, DBUS_TYPE_STRING, "Can't get owner of %s\n", daemon_name);
}
