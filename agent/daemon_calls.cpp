#include "daemon_calls.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent_object.h"

namespace {

const char daemon_name[] = "org.tavik";
const char manager_interface[] = "org.tavik.Manager";
const char adapter_interface[] = "org.tavik.Adapter";

DBusMessage* new_call(const char* path, const char* interface, const char* member) {
    DBusMessage* call = dbus_message_new_method_call(daemon_name, path, interface, member);
    if (!call) fputs("Can't allocate new method call\n", stderr);
    return call;
}

void print_error_detail(DBusError* error) {
    if (dbus_error_is_set(error)) {
        fprintf(stderr, "%s\n", error->message);
        dbus_error_free(error);
    }
}

void finish_exchange(DBusConnection* connection, DBusMessage* reply) {
    dbus_message_unref(reply);
    dbus_connection_flush(connection);
}

// Sends the call (and releases it) and waits for the method return: the
// reply, or nullptr with the error record filled in.
DBusMessage* exchange(DBusConnection* connection, DBusMessage* call, DBusError* error) {
    dbus_error_init(error);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(connection, call, -1, error);
    dbus_message_unref(call);
    return reply;
}

// The failure message (formatted with "argument"), then the error detail.
void report_failure(const char* failure, const char* argument, DBusError* error) {
    fprintf(stderr, failure, argument);
    print_error_detail(error);
}

// Sends the call (and releases it) and waits for the daemon's method return:
// 0, or -1 after the failure report. The reply goes to reply_out when asked
// for.
int call_daemon(DBusConnection* connection, DBusMessage* call, const char* failure, const char* argument,
                DBusMessage** reply_out) {
    DBusError error;
    DBusMessage* reply = exchange(connection, call, &error);
    if (!reply) {
        report_failure(failure, argument, &error);
        return -1;
    }
    if (reply_out)
        *reply_out = reply;
    else
        finish_exchange(connection, reply);
    return 0;
}

// An owned copy of the reply's first argument (of that type), or nullptr
// after a message; the reply is released either way.
char* reply_text(DBusConnection* connection, DBusMessage* reply, int type) {
    DBusError error;
    dbus_error_init(&error);

    const char* text;
    if (!dbus_message_get_args(reply, &error, type, &text, DBUS_TYPE_INVALID)) {
        fputs("Can't get reply arguments\n", stderr);
        print_error_detail(&error);
        dbus_message_unref(reply);
        return nullptr;
    }
    char* copy = strdup(text);
    finish_exchange(connection, reply);
    return copy;
}

// An owned copy of the first argument (of that type) of the daemon's reply
// to the call, or nullptr.
char* read_reply_text(DBusConnection* connection, DBusMessage* call, int type, const char* failure,
                      const char* argument) {
    DBusMessage* reply;
    if (call_daemon(connection, call, failure, argument, &reply) < 0) return nullptr;
    return reply_text(connection, reply, type);
}

bool serve_agent_object(DBusConnection* connection, const char* agent_path) {
    if (!dbus_connection_register_object_path(connection, agent_path, &agent_object_table, nullptr)) {
        fputs("Can't register object path for agent\n", stderr);
        return false;
    }
    return true;
}

}  // namespace

char* default_adapter_lookup(DBusConnection* connection) {
    DBusMessage* call = new_call("/", manager_interface, "DefaultAdapter");
    if (!call) return nullptr;
    return read_reply_text(connection, call, DBUS_TYPE_OBJECT_PATH, "Can't get default adapter\n", "");
}

char* adapter_lookup(DBusConnection* connection, const char* adapter) {
    if (!adapter) return default_adapter_lookup(connection);

    DBusMessage* call = new_call("/", manager_interface, "FindAdapter");
    if (!call) return nullptr;
    dbus_message_append_args(call, DBUS_TYPE_STRING, &adapter, DBUS_TYPE_INVALID);
    return read_reply_text(connection, call, DBUS_TYPE_OBJECT_PATH, "Can't find adapter %s\n", adapter);
}

int agent_register(DBusConnection* connection, const char* adapter_path, const char* agent_path,
                   const char* capability) {
    if (!serve_agent_object(connection, agent_path)) return -1;

    DBusMessage* call = new_call(adapter_path, adapter_interface, "RegisterAgent");
    if (!call) return -1;
    dbus_message_append_args(call, DBUS_TYPE_OBJECT_PATH, &agent_path, DBUS_TYPE_STRING, &capability,
                             DBUS_TYPE_INVALID);
    return call_daemon(connection, call, "Can't register agent\n", "", nullptr);
}

int agent_unregister(DBusConnection* connection, const char* adapter_path, const char* agent_path) {
    DBusMessage* call = new_call(adapter_path, adapter_interface, "UnregisterAgent");
    if (!call) return -1;
    dbus_message_append_args(call, DBUS_TYPE_OBJECT_PATH, &agent_path, DBUS_TYPE_INVALID);
    if (call_daemon(connection, call, "Can't unregister agent\n", "", nullptr) < 0) return -1;
    dbus_connection_unregister_object_path(connection, agent_path);
    return 0;
}

int pair_device(DBusConnection* connection, const char* adapter_path, const char* agent_path, const char* capability,
                const char* device) {
    // The daemon calls the agent while it pairs, so the object must be there
    // before the request goes out.
    if (!serve_agent_object(connection, agent_path)) return -1;

    DBusMessage* call = new_call(adapter_path, adapter_interface, "CreatePairedDevice");
    if (!call) return -1;
    dbus_message_append_args(call, DBUS_TYPE_STRING, &device, DBUS_TYPE_OBJECT_PATH, &agent_path, DBUS_TYPE_STRING,
                             &capability, DBUS_TYPE_INVALID);

    dbus_bool_t queued = dbus_connection_send(connection, call, nullptr);
    dbus_message_unref(call);
    if (!queued) {
        fputs("Not enough memory for message send\n", stderr);
        return -1;
    }
    dbus_connection_flush(connection);
    return 0;
}

void daemon_owner_lookup(DBusConnection* connection) {
    DBusMessage* call =
        dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "GetNameOwner");
    if (!call) {
        fputs("Can't allocate new method call\n", stderr);
        return;
    }
    const char* name = daemon_name;
    dbus_message_append_args(call, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);

    DBusError error;
    DBusMessage* reply = exchange(connection, call, &error);
    if (!reply && dbus_error_has_name(&error, DBUS_ERROR_NAME_HAS_NO_OWNER)) {
        // The daemon has gone already. Had it gone before the match rule
        // took hold, no signal would ever tell of it; so this answer counts
        // as its departure, and a signal that may follow is never read.
        dbus_error_free(&error);
        daemon_owner_changed("");
        return;
    }
    if (!reply) {
        report_failure("Can't get owner of %s\n", daemon_name, &error);
        return;
    }
    if (char* owner = reply_text(connection, reply, DBUS_TYPE_STRING)) {
        daemon_owner_changed(owner);
        free(owner);
    }
}
