#include "testbed.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include <dbus/dbus.h>

namespace testbed {

namespace {

// Standard output and error in files of the directory, named after the process.
std::unique_ptr<Process> startLogged(const std::vector<std::string>& argv, std::vector<std::string> env,
                                     const TempDir& dir, const std::string& name) {
    testsupport::Command command(argv);
    command.env = std::move(env);
    command.out = testsupport::Stream::file(dir.file(name + ".out"));
    command.err = testsupport::Stream::file(dir.file(name + ".err"));
    return std::make_unique<Process>(command);
}

}  // namespace

std::string binPath(const std::string& program) { return std::string(VELMORA_BIN_DIR) + "/" + program; }

Testbed::~Testbed() {
    if (sim_) sim_->stop();
}

std::string Testbed::busAddress() const { return bus_.address(); }

std::vector<std::string> Testbed::environment() const {
    std::vector<std::string> env =
        testsupport::environment([](std::string_view name) { return name.starts_with("DBUS_"); });
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + busAddress());
    return env;
}

std::unique_ptr<Process> Testbed::start(const std::vector<std::string>& argv, const std::string& name) {
    std::vector<std::string> full = argv;
    if (full[0].find('/') == std::string::npos) full[0] = binPath(full[0]);
    return startLogged(full, environment(), dir_, name);
}

Process& Testbed::startSim(const std::vector<std::string>& options, const std::string& name) {
    std::vector<std::string> argv = {"bluetooth-sim"};
    argv.insert(argv.end(), options.begin(), options.end());
    sim_ = start(argv, name);
    if (!sim_->waitForOutput("ready ", 60s)) throw std::runtime_error("bluetooth-sim did not start: " + sim_->err());
    return *sim_;
}

std::vector<std::string> Testbed::agentArgv(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {binPath("agent")};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

void Testbed::stopBus() { bus_.kill(); }

AgentRun runAgent(const std::vector<std::string>& simOptions, const std::vector<std::string>& agentArgs,
                  std::chrono::milliseconds timeout) {
    Testbed bed;
    bed.startSim(simOptions);
    auto agent = bed.startAgent(agentArgs);
    AgentRun run;
    run.pid = agent->pid();
    auto exit = agent->wait(timeout);
    if (!exit) {
        agent->stop();
        throw std::runtime_error("agent did not end; stderr: " + agent->err());
    }
    run.exit = *exit;
    // The daemon finishes its script before it leaves, so its log is whole.
    bed.sim().stop();
    run.out = agent->out();
    run.err = agent->err();
    run.sim = bed.sim().out();
    return run;
}

AgentRun runAgentWithoutBus(const std::vector<std::string>& agentArgs) {
    TempDir dir("velmora-agent");
    std::vector<std::string> env = {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dir.file("no-bus")};
    if (const char* asan = getenv("ASAN_OPTIONS")) env.push_back(std::string("ASAN_OPTIONS=") + asan);
    auto agent = startLogged(Testbed::agentArgv(agentArgs), env, dir, "agent");
    AgentRun run;
    run.pid = agent->pid();
    auto exit = agent->wait(20s);
    if (!exit) throw std::runtime_error("agent did not end");
    run.exit = *exit;
    run.out = agent->out();
    run.err = agent->err();
    return run;
}

namespace {

struct ErrorRecord {
    DBusError error;
    ErrorRecord() { dbus_error_init(&error); }
    ~ErrorRecord() { dbus_error_free(&error); }
    std::string what() const { return dbus_error_is_set(&error) ? error.message : "out of memory"; }
};

void appendArgs(DBusMessage* message, const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        const char* text = arg.c_str() + 2;
        int type = arg.starts_with("o:") ? DBUS_TYPE_OBJECT_PATH : DBUS_TYPE_STRING;
        if (arg.size() < 2 || arg[1] != ':' || !dbus_message_append_args(message, type, &text, DBUS_TYPE_INVALID))
            throw std::runtime_error("cannot append " + arg);
    }
}

struct Unref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using Message = std::unique_ptr<DBusMessage, Unref>;

}  // namespace

BusClient::BusClient(const std::string& address) {
    ErrorRecord error;
    connection_ = dbus_connection_open_private(address.c_str(), &error.error);
    if (connection_ && !dbus_bus_register(connection_, &error.error)) {
        dbus_connection_close(connection_);
        dbus_connection_unref(connection_);
        connection_ = nullptr;
    }
    if (!connection_) throw std::runtime_error("cannot join the bus: " + error.what());
    dbus_connection_set_exit_on_disconnect(connection_, FALSE);
}

BusClient::~BusClient() {
    dbus_connection_close(connection_);
    dbus_connection_unref(connection_);
}

std::string BusClient::uniqueName() const { return dbus_bus_get_unique_name(connection_); }

bool BusClient::takeName(const std::string& name) {
    ErrorRecord error;
    int result = dbus_bus_request_name(
        connection_, name.c_str(),
        DBUS_NAME_FLAG_ALLOW_REPLACEMENT | DBUS_NAME_FLAG_REPLACE_EXISTING | DBUS_NAME_FLAG_DO_NOT_QUEUE, &error.error);
    return result == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER;
}

std::string BusClient::call(const std::string& destination, const std::string& path, const std::string& interface,
                            const std::string& member, const std::vector<std::string>& args) {
    Message call(dbus_message_new_method_call(destination.c_str(), path.c_str(), interface.c_str(), member.c_str()));
    if (!call) throw std::runtime_error("out of memory");
    appendArgs(call.get(), args);
    ErrorRecord error;
    // Waits as long as the bus lets a call wait: an answer always comes.
    Message reply(
        dbus_connection_send_with_reply_and_block(connection_, call.get(), DBUS_TIMEOUT_INFINITE, &error.error));
    if (!reply) return std::string("error ") + (dbus_error_is_set(&error.error) ? error.error.name : "none");
    std::string text = "return";
    DBusMessageIter iter;
    if (dbus_message_iter_init(reply.get(), &iter)) {
        do {
            int type = dbus_message_iter_get_arg_type(&iter);
            DBusBasicValue value;
            if (type == DBUS_TYPE_STRING || type == DBUS_TYPE_UINT32) dbus_message_iter_get_basic(&iter, &value);
            if (type == DBUS_TYPE_STRING)
                text += std::string(" s:\"") + value.str + "\"";
            else if (type == DBUS_TYPE_UINT32)
                text += " u:" + std::to_string(value.u32);
            else
                text += " ?";
        } while (dbus_message_iter_next(&iter));
    }
    return text;
}

void BusClient::signalTo(const std::string& destination, const std::string& member,
                         const std::vector<std::string>& args) {
    Message signal(dbus_message_new_signal(DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, member.c_str()));
    if (!signal || !dbus_message_set_destination(signal.get(), destination.c_str()))
        throw std::runtime_error("out of memory");
    appendArgs(signal.get(), args);
    if (!dbus_connection_send(connection_, signal.get(), nullptr)) throw std::runtime_error("out of memory");
    dbus_connection_flush(connection_);
}

std::string agentConnection(const std::string& simLog) {
    // call RegisterAgent ADAPTER SENDER ARGS
    for (const std::string& line : linesWith(simLog, "call ")) {
        std::istringstream words(line);
        std::string call, member, path, sender;
        words >> call >> member >> path >> sender;
        if (member == "RegisterAgent" || member == "CreatePairedDevice") return sender;
    }
    throw std::runtime_error("no agent registered: " + simLog);
}

std::vector<std::string> linesWith(const std::string& text, const std::string& word) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.find(word) != std::string::npos) lines.push_back(line);
    return lines;
}

}  // namespace testbed
