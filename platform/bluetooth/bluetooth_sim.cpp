// bluetooth-sim: a stand-in for the Bluetooth daemon. It owns "org.tavik" on
// the system bus named by DBUS_SYSTEM_BUS_ADDRESS, serves the manager and
// adapter objects the pairing agent calls, logs every call it receives, and
// drives a registered agent through a scripted pairing. docs/bluetooth-sim.md
// describes its options and its output.
#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dbus/dbus.h>

namespace {

const char bus_name[] = "org.tavik";
const char manager_interface[] = "org.tavik.Manager";
const char adapter_interface[] = "org.tavik.Adapter";
const char agent_interface[] = "org.tavik.Agent";

volatile sig_atomic_t stop_requested = 0;

void on_stop_signal(int) { stop_requested = 1; }

// One log line on standard output, flushed at once so that readers of the
// file or pipe see it as it happens.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
    fflush(stdout);
}

struct MessageUnref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

struct Error {
    DBusError error;
    Error() { dbus_error_init(&error); }
    ~Error() { dbus_error_free(&error); }
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;
    bool set() const { return dbus_error_is_set(&error); }
};

// One value a scripted call or signal carries, typed when the script is read.
struct Operand {
    int type = DBUS_TYPE_INVALID;  // DBUS_TYPE_STRING, _OBJECT_PATH, _UINT32, _INT32 or _BOOLEAN
    std::string text;              // a string's or an object path's value
    DBusBasicValue number = {};    // any other type's value
};

// One step of a script, read and checked before the daemon joins the bus.
struct Step {
    enum Kind { call, signal, passkeys, measure, sleep, quit };
    Kind kind = call;
    std::string text;  // as written, for the log
    std::string interface;
    std::string member;
    std::vector<Operand> operands;
    long count = 0;  // passkeys and measure: how many; sleep: milliseconds
};
using Script = std::vector<Step>;

struct Options {
    std::vector<std::string> adapters;
    bool no_default = false;
    bool string_reply = false;
    std::map<std::string, std::string> failures;  // member -> error message
    std::set<std::string> hangs;
    std::set<std::string> leave_on;
    Script on_register;
    Script on_pair;
    double exit_after = -1;
    bool replace = false;
    bool clock = false;
    int timeout_ms = 5000;
};

// Each option next to its line of the usage text, so that one edit adds both.
struct OptionHelp {
    option getopt;
    const char* help;
};
// clang-format off
const OptionHelp option_help[] = {
    {{"adapter", required_argument, nullptr, 'a'}, "  --adapter NAME          serve adapter NAME at /org/tavik/NAME (repeatable; default hci0 and hci1)\n"},
    {{"no-default-adapter", no_argument, nullptr, 'N'}, "  --no-default-adapter    answer DefaultAdapter with an error\n"},
    {{"string-reply", no_argument, nullptr, 'S'}, "  --string-reply          answer DefaultAdapter and FindAdapter with a string, not an object path\n"},
    {{"fail", required_argument, nullptr, 'f'}, "  --fail MEMBER[=TEXT]    answer MEMBER with the error org.tavik.Error.Failed and TEXT\n"},
    {{"hang", required_argument, nullptr, 'H'}, "  --hang MEMBER           never answer MEMBER\n"},
    {{"leave-on", required_argument, nullptr, 'L'}, "  --leave-on MEMBER       give up org.tavik, answer MEMBER, then leave the bus\n"},
    {{"on-register", required_argument, nullptr, 'r'}, "  --on-register SCRIPT    run SCRIPT against the agent after answering RegisterAgent\n"},
    {{"on-pair", required_argument, nullptr, 'p'}, "  --on-pair SCRIPT        run SCRIPT against the agent after answering CreatePairedDevice\n"},
    {{"exit-after", required_argument, nullptr, 'x'}, "  --exit-after SECONDS    leave the bus after SECONDS\n"},
    {{"replace", no_argument, nullptr, 'R'}, "  --replace               take org.tavik over from the daemon that holds it\n"},
    {{"timeout", required_argument, nullptr, 't'}, "  --timeout MS            how long a scripted call waits for the agent (default 5000)\n"},
    {{"clock", no_argument, nullptr, 'C'}, "  --clock                 log when each call was answered (CLOCK_MONOTONIC, ns)\n"},
    {{"help", no_argument, nullptr, 'h'}, "  -h, --help              print this text\n"},
    {{"version", no_argument, nullptr, 'V'}, "  --version               print the version\n"},
};
// clang-format on

void print_usage(FILE* to) {
    fputs("usage: bluetooth-sim [options]\n", to);
    for (const OptionHelp& entry : option_help) fputs(entry.help, to);
}

// The steps that call a method of the agent's by its own name: the method,
// and the types of its operands, one letter each as in a call's ARG.
struct NamedCall {
    const char* interface;
    const char* member;
    const char* types;
};
const std::map<std::string, NamedCall> named_calls = {
    {"pin", {agent_interface, "RequestPinCode", "o"}},
    {"passkey", {agent_interface, "RequestPasskey", "o"}},
    {"authorize", {agent_interface, "Authorize", "os"}},
    {"cancel", {agent_interface, "Cancel", ""}},
    {"release", {agent_interface, "Release", ""}},
    {"ping", {DBUS_INTERFACE_PEER, "Ping", ""}},  // libdbus answers it in the agent's loop
};

std::vector<std::string> split(const std::string& text, char separator);

// Reads VALUE as an operand of TYPE (s, o, u, i or b). Numbers are read as
// strtoul and strtol read them, so any text passes; strings and paths must be
// ones libdbus would send.
bool parse_operand(char type, const std::string& value, Operand* operand) {
    const char* text = value.c_str();
    switch (type) {
    case 's':
        *operand = {DBUS_TYPE_STRING, value, {}};
        return dbus_validate_utf8(text, nullptr);
    case 'o':
        *operand = {DBUS_TYPE_OBJECT_PATH, value, {}};
        return dbus_validate_path(text, nullptr);
    case 'u':
        operand->type = DBUS_TYPE_UINT32;
        operand->number.u32 = strtoul(text, nullptr, 10);
        return true;
    case 'i':
        operand->type = DBUS_TYPE_INT32;
        operand->number.i32 = strtol(text, nullptr, 10);
        return true;
    case 'b':
        operand->type = DBUS_TYPE_BOOLEAN;
        operand->number.bool_val = value == "true";
        return true;
    default:
        return false;
    }
}

// Reads one step; nothing when it is one the daemon could never run.
std::optional<Step> parse_step(const std::string& text) {
    std::vector<std::string> words = split(text, ' ');
    const std::string& verb = words[0];
    std::vector<std::string> rest(words.begin() + 1, words.end());
    Step step;
    step.text = text;

    auto named = named_calls.find(verb);
    if (named != named_calls.end()) {
        const NamedCall& call = named->second;
        if (rest.size() != strlen(call.types)) return std::nullopt;
        step.interface = call.interface;
        step.member = call.member;
        for (size_t i = 0; i < rest.size(); ++i)
            if (!parse_operand(call.types[i], rest[i], &step.operands.emplace_back())) return std::nullopt;
        return step;
    }
    if (verb == "call" || verb == "signal") {
        if (rest.size() < 2 || !dbus_validate_interface(rest[0].c_str(), nullptr) ||
            !dbus_validate_member(rest[1].c_str(), nullptr))
            return std::nullopt;
        step.kind = verb == "call" ? Step::call : Step::signal;
        step.interface = rest[0];
        step.member = rest[1];
        for (auto word = rest.begin() + 2; word != rest.end(); ++word)  // TYPE:VALUE
            if (word->size() < 2 || (*word)[1] != ':' ||
                !parse_operand((*word)[0], word->substr(2), &step.operands.emplace_back()))
                return std::nullopt;
        return step;
    }
    if (verb == "sleep" || verb == "passkeys" || verb == "measure") {
        if (rest.size() != 1 || rest[0].find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
        step.kind = verb == "sleep" ? Step::sleep : verb == "passkeys" ? Step::passkeys : Step::measure;
        step.count = strtol(rest[0].c_str(), nullptr, 10);
        if (step.kind != Step::sleep && step.count <= 0) return std::nullopt;
        return step;
    }
    if (verb == "quit" && rest.empty()) {
        step.kind = Step::quit;
        return step;
    }
    return std::nullopt;
}

// Read whole at start: a mistake found only when its step runs would leave
// the agent waiting for a request that never comes.
bool parse_script(const char* option, const std::string& text, Script* script) {
    for (const std::string& step_text : split(text, ';')) {
        std::optional<Step> step = parse_step(step_text);
        if (!step) {
            fprintf(stderr, "bluetooth-sim: --%s: bad step \"%s\" (bluetooth-sim(8) lists the steps)\n", option,
                    step_text.c_str());
            return false;
        }
        script->push_back(std::move(*step));
    }
    return true;
}

bool parse_options(int argc, char* argv[], Options* options) {
    std::vector<option> long_options;
    for (const OptionHelp& entry : option_help) long_options.push_back(entry.getopt);
    long_options.push_back({nullptr, 0, nullptr, 0});
    std::string on_register;
    std::string on_pair;
    int opt;
    while ((opt = getopt_long(argc, argv, "h", long_options.data(), nullptr)) != -1) {
        std::string arg = optarg ? optarg : "";
        switch (opt) {
        case 'a':
            options->adapters.push_back(arg);
            break;
        case 'N':
            options->no_default = true;
            break;
        case 'S':
            options->string_reply = true;
            break;
        case 'f': {
            auto eq = arg.find('=');
            std::string member = arg.substr(0, eq);
            options->failures[member] = eq == std::string::npos ? member + " failed" : arg.substr(eq + 1);
            break;
        }
        case 'H':
            options->hangs.insert(arg);
            break;
        case 'L':
            options->leave_on.insert(arg);
            break;
        case 'r':
            on_register = arg;
            break;
        case 'p':
            on_pair = arg;
            break;
        case 'x':
            options->exit_after = atof(arg.c_str());
            break;
        case 'R':
            options->replace = true;
            break;
        case 't':
            options->timeout_ms = atoi(arg.c_str());
            break;
        case 'C':
            options->clock = true;
            break;
        case 'h':
            print_usage(stdout);
            exit(0);
        case 'V':
            puts("bluetooth-sim " VELMORA_VERSION);
            exit(0);
        default:
            print_usage(stderr);
            return false;
        }
    }
    if (optind < argc) {
        print_usage(stderr);
        return false;
    }
    if (options->adapters.empty()) options->adapters = {"hci0", "hci1"};
    return parse_script("on-register", on_register, &options->on_register) &&
           parse_script("on-pair", on_pair, &options->on_pair);
}

std::string quoted(const char* text) {
    std::string out = "\"";
    for (const char* p = text; *p; ++p) {
        if (*p == '\n') {
            out += "\\n";
            continue;
        }
        if (*p == '"' || *p == '\\') out += '\\';
        out += *p;
    }
    return out + "\"";
}

// The arguments of a message as " TYPE:VALUE" items: strings and paths quoted,
// numbers bare, anything else by its signature alone.
std::string format_args(DBusMessage* message) {
    std::string out;
    DBusMessageIter iter;
    if (!dbus_message_iter_init(message, &iter)) return out;
    do {
        int type = dbus_message_iter_get_arg_type(&iter);
        char* signature = dbus_message_iter_get_signature(&iter);
        out += ' ';
        out += signature;
        out += ':';
        dbus_free(signature);
        DBusBasicValue value;
        switch (type) {
        case DBUS_TYPE_STRING:
        case DBUS_TYPE_OBJECT_PATH:
        case DBUS_TYPE_SIGNATURE:
            dbus_message_iter_get_basic(&iter, &value);
            out += quoted(value.str);
            break;
        case DBUS_TYPE_UINT32:
            dbus_message_iter_get_basic(&iter, &value);
            out += std::to_string(value.u32);
            break;
        case DBUS_TYPE_INT32:
            dbus_message_iter_get_basic(&iter, &value);
            out += std::to_string(value.i32);
            break;
        case DBUS_TYPE_BOOLEAN:
            dbus_message_iter_get_basic(&iter, &value);
            out += value.bool_val ? "true" : "false";
            break;
        default:
            out += '?';
        }
    } while (dbus_message_iter_next(&iter));
    return out;
}

// Appends a step's operands to a message; false only when out of memory.
bool append_operands(DBusMessage* message, const std::vector<Operand>& operands) {
    DBusMessageIter iter;
    dbus_message_iter_init_append(message, &iter);
    for (const Operand& operand : operands) {
        const char* text = operand.text.c_str();
        bool textual = operand.type == DBUS_TYPE_STRING || operand.type == DBUS_TYPE_OBJECT_PATH;
        if (!dbus_message_iter_append_basic(&iter, operand.type,
                                            textual ? static_cast<const void*>(&text) : &operand.number))
            return false;
    }
    return true;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) {
        auto first = part.find_first_not_of(' ');
        if (first == std::string::npos) continue;
        parts.push_back(part.substr(first, part.find_last_not_of(' ') - first + 1));
    }
    return parts;
}

int64_t monotonic_ns() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    size_t index = std::min(values.size() - 1, size_t(fraction * double(values.size())));
    return values[index];
}

class Daemon {
public:
    explicit Daemon(Options options) : options_(std::move(options)) {}
    ~Daemon() {
        if (connection_) {
            dbus_connection_close(connection_);
            dbus_connection_unref(connection_);
        }
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    bool start();
    void run();

private:
    struct Agent {
        std::string owner;  // the agent's unique bus name
        std::string path;
    };

    static DBusHandlerResult filter(DBusConnection*, DBusMessage* message, void* self) {
        return static_cast<Daemon*>(self)->handle(message);
    }

    DBusHandlerResult handle(DBusMessage* message);
    DBusHandlerResult serve_manager(DBusMessage* message, const char* member);
    DBusHandlerResult serve_adapter(DBusMessage* message, const char* member);
    void reply(DBusMessage* answer, const char* member);
    void reply_error(DBusMessage* call, const char* name, const std::string& text, const char* member);
    void reply_adapter_path(DBusMessage* call, const std::string& path, const char* member);
    bool known_adapter_path(const char* path) const;

    void run_script(const Script& script);
    bool run_step(const Step& step);
    Message agent_call(const char* interface, const char* member);
    void call_and_log(Message call, const char* member);
    void send_passkeys(long count);
    void measure(long count);

    Options options_;
    DBusConnection* connection_ = nullptr;
    std::optional<Agent> agent_;
    std::deque<const Script*> pending_scripts_;  // options_'s, to run
    bool leaving_ = false;
    bool released_ = false;  // gave the name up itself (--leave-on)
};

bool Daemon::start() {
    Error error;
    connection_ = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error.error);
    if (!connection_) {
        fprintf(stderr, "bluetooth-sim: can't connect to the system bus: %s\n", error.error.message);
        return false;
    }
    dbus_connection_set_exit_on_disconnect(connection_, FALSE);

    unsigned flags = DBUS_NAME_FLAG_ALLOW_REPLACEMENT | DBUS_NAME_FLAG_DO_NOT_QUEUE;
    if (options_.replace) flags |= DBUS_NAME_FLAG_REPLACE_EXISTING;
    int result = dbus_bus_request_name(connection_, bus_name, flags, &error.error);
    if (result != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        fprintf(stderr, "bluetooth-sim: can't own %s: %s\n", bus_name,
                error.set() ? error.error.message : "the name is taken");
        return false;
    }
    if (!dbus_connection_add_filter(connection_, filter, this, nullptr)) {
        fputs("bluetooth-sim: out of memory\n", stderr);
        return false;
    }
    say("ready %s", dbus_bus_get_unique_name(connection_));
    return true;
}

void Daemon::run() {
    auto started = std::chrono::steady_clock::now();
    while (!stop_requested && !leaving_) {
        if (options_.exit_after >= 0 &&
            std::chrono::steady_clock::now() - started >= std::chrono::duration<double>(options_.exit_after))
            break;
        if (!dbus_connection_read_write_dispatch(connection_, 50)) {
            say("disconnected");
            return;
        }
        // Scripts run here, outside dispatch, since they wait on the agent.
        while (!pending_scripts_.empty() && !leaving_) {
            const Script* script = pending_scripts_.front();
            pending_scripts_.pop_front();
            run_script(*script);
        }
    }
    say("leaving");
}

DBusHandlerResult Daemon::handle(DBusMessage* message) {
    if (dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameLost")) {
        if (!released_) say("lost %s", bus_name);
        leaving_ = true;
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_CALL) return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;

    const char* member = dbus_message_get_member(message);
    const char* path = dbus_message_get_path(message);
    const char* interface = dbus_message_get_interface(message);
    say("call %s %s %s%s", member, path, dbus_message_get_sender(message), format_args(message).c_str());

    if (options_.hangs.count(member)) return DBUS_HANDLER_RESULT_HANDLED;
    auto failure = options_.failures.find(member);
    if (failure != options_.failures.end()) {
        reply_error(message, "org.tavik.Error.Failed", failure->second, member);
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    if (interface && strcmp(interface, manager_interface) == 0 && strcmp(path, "/") == 0)
        return serve_manager(message, member);
    if (interface && strcmp(interface, adapter_interface) == 0 && known_adapter_path(path))
        return serve_adapter(message, member);
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

DBusHandlerResult Daemon::serve_manager(DBusMessage* message, const char* member) {
    if (strcmp(member, "DefaultAdapter") == 0) {
        if (options_.no_default)
            reply_error(message, "org.tavik.Error.NoSuchAdapter", "No adapter available", member);
        else
            reply_adapter_path(message, "/org/tavik/" + options_.adapters.front(), member);
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    if (strcmp(member, "FindAdapter") == 0) {
        const char* name;
        if (!dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID)) {
            reply_error(message, DBUS_ERROR_INVALID_ARGS, "FindAdapter takes one string", member);
            return DBUS_HANDLER_RESULT_HANDLED;
        }
        // An adapter is known by its name ("hci0") or its object path.
        for (const std::string& adapter : options_.adapters) {
            std::string path = "/org/tavik/" + adapter;
            if (adapter == name || path == name) {
                reply_adapter_path(message, path, member);
                return DBUS_HANDLER_RESULT_HANDLED;
            }
        }
        reply_error(message, "org.tavik.Error.NoSuchAdapter", std::string("No such adapter: ") + name, member);
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

DBusHandlerResult Daemon::serve_adapter(DBusMessage* message, const char* member) {
    const char* agent_path;
    const char* capability;
    const char* device;
    const char* sender = dbus_message_get_sender(message);
    if (strcmp(member, "RegisterAgent") == 0) {
        if (!dbus_message_get_args(message, nullptr, DBUS_TYPE_OBJECT_PATH, &agent_path, DBUS_TYPE_STRING, &capability,
                                   DBUS_TYPE_INVALID)) {
            reply_error(message, DBUS_ERROR_INVALID_ARGS, "RegisterAgent takes an object path and a string", member);
            return DBUS_HANDLER_RESULT_HANDLED;
        }
        agent_ = Agent{sender, agent_path};
        reply(dbus_message_new_method_return(message), member);
        if (!options_.on_register.empty()) pending_scripts_.push_back(&options_.on_register);
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    if (strcmp(member, "UnregisterAgent") == 0) {
        if (!dbus_message_get_args(message, nullptr, DBUS_TYPE_OBJECT_PATH, &agent_path, DBUS_TYPE_INVALID)) {
            reply_error(message, DBUS_ERROR_INVALID_ARGS, "UnregisterAgent takes an object path", member);
            return DBUS_HANDLER_RESULT_HANDLED;
        }
        if (!agent_ || agent_->owner != sender || agent_->path != agent_path) {
            reply_error(message, "org.tavik.Error.DoesNotExist", "No such agent", member);
            return DBUS_HANDLER_RESULT_HANDLED;
        }
        agent_.reset();
        reply(dbus_message_new_method_return(message), member);
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    if (strcmp(member, "CreatePairedDevice") == 0) {
        if (!dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &device, DBUS_TYPE_OBJECT_PATH, &agent_path,
                                   DBUS_TYPE_STRING, &capability, DBUS_TYPE_INVALID)) {
            reply_error(message, DBUS_ERROR_INVALID_ARGS,
                        "CreatePairedDevice takes a string, an object path and a string", member);
            return DBUS_HANDLER_RESULT_HANDLED;
        }
        agent_ = Agent{sender, agent_path};
        std::string device_path = std::string(dbus_message_get_path(message)) + "/dev_";
        for (const char* p = device; *p; ++p) device_path += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        Message answer(dbus_message_new_method_return(message));
        const char* path = device_path.c_str();
        if (answer) dbus_message_append_args(answer.get(), DBUS_TYPE_OBJECT_PATH, &path, DBUS_TYPE_INVALID);
        reply(answer.release(), member);
        if (!options_.on_pair.empty()) pending_scripts_.push_back(&options_.on_pair);
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

bool Daemon::known_adapter_path(const char* path) const {
    return std::any_of(options_.adapters.begin(), options_.adapters.end(),
                       [path](const std::string& name) { return "/org/tavik/" + name == path; });
}

void Daemon::reply(DBusMessage* answer_raw, const char* member) {
    Message answer(answer_raw);
    if (!answer) {
        say("out of memory answering %s", member);
        return;
    }
    // The name goes before the answer does, so whoever the answer reaches
    // finds the daemon gone, as after a daemon that dies right after
    // answering, whatever the bus's own order of events.
    if (options_.leave_on.count(member) && !released_) {
        Error error;
        dbus_bus_release_name(connection_, bus_name, &error.error);
        if (error.set())
            say("cannot release %s: %s", bus_name, error.error.message);
        else
            say("released %s", bus_name);
        released_ = true;
        leaving_ = true;
    }
    dbus_connection_send(connection_, answer.get(), nullptr);
    dbus_connection_flush(connection_);
    if (options_.clock) say("answered %s %lld", member, static_cast<long long>(monotonic_ns()));
}

void Daemon::reply_error(DBusMessage* call, const char* name, const std::string& text, const char* member) {
    reply(dbus_message_new_error(call, name, text.c_str()), member);
}

void Daemon::reply_adapter_path(DBusMessage* call, const std::string& path, const char* member) {
    Message answer(dbus_message_new_method_return(call));
    const char* text = path.c_str();
    if (answer)
        dbus_message_append_args(answer.get(), options_.string_reply ? DBUS_TYPE_STRING : DBUS_TYPE_OBJECT_PATH, &text,
                                 DBUS_TYPE_INVALID);
    reply(answer.release(), member);
}

void Daemon::run_script(const Script& script) {
    for (const Step& step : script) {
        say("step %s", step.text.c_str());
        if (!run_step(step)) {
            say("bad step %s", step.text.c_str());
            return;
        }
        if (leaving_) return;
    }
}

Message Daemon::agent_call(const char* interface, const char* member) {
    return Message(dbus_message_new_method_call(agent_->owner.c_str(), agent_->path.c_str(), interface, member));
}

void Daemon::call_and_log(Message call, const char* member) {
    Error error;
    Message answer(
        dbus_connection_send_with_reply_and_block(connection_, call.get(), options_.timeout_ms, &error.error));
    if (answer)
        say("answer %s return%s", member, format_args(answer.get()).c_str());
    else
        say("answer %s error %s %s", member, error.error.name, quoted(error.error.message).c_str());
}

bool Daemon::run_step(const Step& step) {
    // The steps were checked at start; what can still fail is a missing
    // agent, or memory.
    if (!agent_ && step.kind != Step::sleep && step.kind != Step::quit) return false;
    switch (step.kind) {
    case Step::call: {
        Message call = agent_call(step.interface.c_str(), step.member.c_str());
        if (!call || !append_operands(call.get(), step.operands)) return false;
        call_and_log(std::move(call), step.member.c_str());
        return true;
    }
    case Step::signal: {
        Message signal(dbus_message_new_signal(DBUS_PATH_DBUS, step.interface.c_str(), step.member.c_str()));
        if (!signal || !append_operands(signal.get(), step.operands) ||
            !dbus_message_set_destination(signal.get(), agent_->owner.c_str()))
            return false;
        dbus_connection_send(connection_, signal.get(), nullptr);
        dbus_connection_flush(connection_);
        say("sent %s", step.member.c_str());
        return true;
    }
    case Step::passkeys:
        send_passkeys(step.count);
        return true;
    case Step::measure:
        measure(step.count);
        return true;
    case Step::sleep:
        std::this_thread::sleep_for(std::chrono::milliseconds(step.count));
        return true;
    case Step::quit:
        leaving_ = true;
        return true;
    }
    return false;
}

// RequestPasskey for devices dev_0 .. dev_<count-1>, many in flight at once;
// the answers are collected in the order the calls went out.
void Daemon::send_passkeys(long count) {
    const size_t window = 64;
    std::deque<DBusPendingCall*> in_flight;
    long returns = 0;
    long errors = 0;
    std::string first_value;
    bool same = true;

    auto collect = [&] {
        DBusPendingCall* pending = in_flight.front();
        in_flight.pop_front();
        dbus_pending_call_block(pending);
        Message answer(dbus_pending_call_steal_reply(pending));
        dbus_pending_call_unref(pending);
        if (!answer || dbus_message_get_type(answer.get()) != DBUS_MESSAGE_TYPE_METHOD_RETURN) {
            ++errors;
            return;
        }
        std::string value = format_args(answer.get());
        if (returns++ == 0)
            first_value = value;
        else if (value != first_value)
            same = false;
    };

    for (long i = 0; i < count; ++i) {
        Message call = agent_call(agent_interface, "RequestPasskey");
        std::string device = "/org/tavik/hci0/dev_" + std::to_string(i);
        const char* path = device.c_str();
        DBusPendingCall* pending = nullptr;
        if (!call || !dbus_message_append_args(call.get(), DBUS_TYPE_OBJECT_PATH, &path, DBUS_TYPE_INVALID) ||
            !dbus_connection_send_with_reply(connection_, call.get(), &pending, options_.timeout_ms) || !pending) {
            ++errors;
            continue;
        }
        in_flight.push_back(pending);
        if (in_flight.size() >= window) collect();
    }
    while (!in_flight.empty()) collect();
    say("passkeys sent=%ld returns=%ld errors=%ld values=%s", count, returns, errors,
        returns == 0 ? "none"
        : same       ? first_value.c_str() + 1
                     : "mixed");
}

// Round trips of RequestPasskey next to Peer.Ping on the agent's connection,
// which libdbus answers itself: the bus's own floor.
void Daemon::measure(long count) {
    std::vector<double> passkey_us;
    std::vector<double> ping_us;
    long failures = 0;
    const char* device = "/org/tavik/hci0/dev_measure";
    for (long i = 0; i < count; ++i) {
        for (bool ping : {true, false}) {
            Message call =
                ping ? agent_call(DBUS_INTERFACE_PEER, "Ping") : agent_call(agent_interface, "RequestPasskey");
            if (!call) return;
            if (!ping) dbus_message_append_args(call.get(), DBUS_TYPE_OBJECT_PATH, &device, DBUS_TYPE_INVALID);
            Error error;
            auto start = std::chrono::steady_clock::now();
            Message answer(
                dbus_connection_send_with_reply_and_block(connection_, call.get(), options_.timeout_ms, &error.error));
            std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
            if (!answer) ++failures;
            (ping ? ping_us : passkey_us).push_back(took.count());
        }
    }
    say("measure RequestPasskey n=%ld p50_us=%.1f p99_us=%.1f", count, percentile(passkey_us, 0.50),
        percentile(passkey_us, 0.99));
    say("measure Ping n=%ld p50_us=%.1f p99_us=%.1f", count, percentile(ping_us, 0.50), percentile(ping_us, 0.99));
    say("measure failures=%ld", failures);
}

}  // namespace

int main(int argc, char* argv[]) {
    Options options;
    if (!parse_options(argc, argv, &options)) return 2;

    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    int status;
    {
        Daemon daemon(std::move(options));
        status = daemon.start() ? 0 : 1;
        if (status == 0) daemon.run();
    }
    dbus_shutdown();
    return status;
}
