#include "agent_object.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

agent_run_state run_state;

const DBusObjectPathVTable agent_object_table = {
    nullptr, agent_dispatch, nullptr, nullptr, nullptr, nullptr,
};

namespace {

const char agent_interface[] = "org.tavik.Agent";
const char rejected_error[] = "org.tavik.Error.Rejected";

// Every request line goes out at once: callers read us through pipes, and
// libdbus ends the process without flushing stdio when the bus goes away.
void print_request_line(const char* format, const char* device) {
    printf(format, device);
    fflush(stdout);
}

DBusHandlerResult reply_not_created() {
    fputs("Can't create reply message\n", stderr);
    return DBUS_HANDLER_RESULT_NEED_MEMORY;
}

DBusHandlerResult send_reply(DBusConnection* connection, DBusMessage* reply) {
    dbus_connection_send(connection, reply, nullptr);
    dbus_connection_flush(connection);
    dbus_message_unref(reply);
    return DBUS_HANDLER_RESULT_HANDLED;
}

DBusHandlerResult send_rejection(DBusConnection* connection, DBusMessage* message) {
    DBusMessage* reply = dbus_message_new_error(message, rejected_error, "");
    if (!reply) return reply_not_created();
    return send_reply(connection, reply);
}

DBusHandlerResult send_empty_return(DBusConnection* connection, DBusMessage* message) {
    DBusMessage* reply = dbus_message_new_method_return(message);
    if (!reply) return reply_not_created();
    return send_reply(connection, reply);
}

DBusHandlerResult invalid_arguments(const char* text) {
    fputs(text, stderr);
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

// PIN-code and passkey requests differ only in their words and in the type of
// the one value in the answer.
DBusHandlerResult answer_secret_request(DBusConnection* connection, DBusMessage* message, const char* complaint,
                                        const char* line, bool numeric) {
    if (!run_state.passkey) return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    const char* device;
    if (!dbus_message_get_args(message, nullptr, DBUS_TYPE_OBJECT_PATH, &device, DBUS_TYPE_INVALID))
        return invalid_arguments(complaint);
    if (run_state.reject) return send_rejection(connection, message);

    DBusMessage* reply = dbus_message_new_method_return(message);
    if (!reply) return reply_not_created();
    print_request_line(line, device);
    if (numeric) {
        dbus_uint32_t passkey = passkey_number(run_state.passkey);
        dbus_message_append_args(reply, DBUS_TYPE_UINT32, &passkey, DBUS_TYPE_INVALID);
    } else {
        dbus_message_append_args(reply, DBUS_TYPE_STRING, &run_state.passkey, DBUS_TYPE_INVALID);
    }
    return send_reply(connection, reply);
}

DBusHandlerResult handle_request_pin_code(DBusConnection* connection, DBusMessage* message) {
    return answer_secret_request(connection, message, "Invalid arguments for RequestPinCode method",
                                 "Pincode request for device %s\n", false);
}

DBusHandlerResult handle_request_passkey(DBusConnection* connection, DBusMessage* message) {
    return answer_secret_request(connection, message, "Invalid arguments for RequestPasskey method",
                                 "Passkey request for device %s\n", true);
}

DBusHandlerResult handle_cancel(DBusConnection* connection, DBusMessage* message) {
    if (!dbus_message_get_args(message, nullptr, DBUS_TYPE_INVALID))
        return invalid_arguments("Invalid arguments for passkey Confirm method");
    puts("Request canceled");
    fflush(stdout);
    return send_empty_return(connection, message);
}

DBusHandlerResult handle_release(DBusConnection* connection, DBusMessage* message) {
    if (!dbus_message_get_args(message, nullptr, DBUS_TYPE_INVALID))
        return invalid_arguments("Invalid arguments for Release method");
    if (!run_state.interrupted) fputs("Agent has been released\n", stderr);
    // Set before replying so the run ends even when the reply fails.
    run_state.terminated = 1;
    return send_empty_return(connection, message);
}

DBusHandlerResult handle_authorize(DBusConnection* connection, DBusMessage* message) {
    const char* device;
    const char* uuid;
    if (!dbus_message_get_args(message, nullptr, DBUS_TYPE_OBJECT_PATH, &device, DBUS_TYPE_STRING, &uuid,
                               DBUS_TYPE_INVALID))
        return invalid_arguments("Invalid arguments for Authorize method");
    if (run_state.reject) return send_rejection(connection, message);

    DBusMessage* reply = dbus_message_new_method_return(message);
    if (!reply) return reply_not_created();
    print_request_line("Authorizing request for %s\n", device);
    return send_reply(connection, reply);
}

}  // namespace

uint32_t passkey_number(const char* text) {
    // strtoul on a 32-bit unsigned long: too many digits saturate whatever
    // the sign, otherwise a minus negates modulo 2^32.
    const uint64_t max = 0xFFFFFFFFu;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (isspace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    uint64_t value = 0;
    bool overflow = false;
    for (; isdigit(*p); ++p) {
        value = value * 10 + (*p - '0');
        if (value > max) {
            overflow = true;
            value = max;  // keeps the arithmetic bounded while the digits run on
        }
    }
    if (overflow) return static_cast<uint32_t>(max);
    return static_cast<uint32_t>(negative ? (max + 1 - value) & max : value);
}

DBusHandlerResult agent_dispatch(DBusConnection* connection, DBusMessage* message, void*) {
    // The agent hands out secrets and ends on Release: it serves only the
    // connection that owns the daemon's name now, and refuses everyone else
    // before reading or printing anything.
    if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_METHOD_CALL &&
        (!run_state.daemon_owner || !dbus_message_has_sender(message, run_state.daemon_owner)))
        return send_rejection(connection, message);
    if (dbus_message_is_method_call(message, agent_interface, "RequestPinCode"))
        return handle_request_pin_code(connection, message);
    if (dbus_message_is_method_call(message, agent_interface, "RequestPasskey"))
        return handle_request_passkey(connection, message);
    if (dbus_message_is_method_call(message, agent_interface, "Cancel")) return handle_cancel(connection, message);
    if (dbus_message_is_method_call(message, agent_interface, "Release")) return handle_release(connection, message);
    if (dbus_message_is_method_call(message, agent_interface, "Authorize"))
        return handle_authorize(connection, message);
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

DBusHandlerResult daemon_watch_filter(DBusConnection*, DBusMessage* message, void*) {
    // Any client can address a signal to us; only the bus's own counts.
    if (!dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameOwnerChanged") ||
        !dbus_message_has_sender(message, DBUS_SERVICE_DBUS))
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;

    const char* name;
    const char* old_owner;
    const char* new_owner;
    if (!dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &old_owner,
                               DBUS_TYPE_STRING, &new_owner, DBUS_TYPE_INVALID))
        return invalid_arguments("Invalid arguments for NameOwnerChanged signal");

    if (strcmp(name, "org.tavik") == 0) daemon_owner_changed(new_owner);
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

void daemon_owner_changed(const char* new_owner) {
    // A copy that cannot be made leaves no owner: calls are refused, not
    // answered to the wrong peer.
    follow_daemon_owner(*new_owner ? strdup(new_owner) : nullptr);
    if (*new_owner == '\0') {
        fputs("Agent has been terminated\n", stderr);
        run_state.terminated = 1;
    }
}

void follow_daemon_owner(char* owner) {
    free(run_state.daemon_owner);
    run_state.daemon_owner = owner;
}
