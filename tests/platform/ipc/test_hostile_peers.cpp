// Careless and hostile peers of the service manager and of its clients,
// written here on the wire format with nothing but sockets, against the
// real servicemanager, demo-services and service tool.
#include "ipc_test_util.h"

#include <fcntl.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <velmora/Parcel.h>
#include <velmora/String8.h>

#include "ServiceManagerProtocol.h"
#include "Transport.h"

using namespace velmora;
using ipctest::Child;
using ipctest::eventually;
using ipctest::ServiceManagerTest;
using namespace std::chrono_literals;

namespace {

struct ServiceRun {
    testsupport::Exit exit;
    bool killedAtDeadline = false;
    std::string out;
    long maxRssKiB = 0;
};

// Runs the service tool against the manager at managerPath; killed if it
// is still running after the time limit.
ServiceRun runService(const std::vector<std::string>& words, const std::string& managerPath,
               std::chrono::milliseconds limit = 20s) {
    std::vector<std::string> argv{SERVICE_BIN};
    argv.insert(argv.end(), words.begin(), words.end());
    testsupport::Command command(argv);
    command.env = testsupport::environment([](std::string_view name) { return name == IServiceManager::ENV_VAR; });
    command.env->push_back(std::string(IServiceManager::ENV_VAR) + "=" + managerPath);
    command.out = testsupport::Stream::pipe();
    command.err = testsupport::Stream::null();
    testsupport::Process service(command);
    ServiceRun run;
    run.exit = service.finish(limit);
    run.killedAtDeadline = service.killedAtDeadline();
    run.out = service.out();
    run.maxRssKiB = service.usage().ru_maxrss;
    return run;
}

// A reference as a hostile client writes it: any handle, any endpoint.
void writeReference(Parcel& parcel, uint32_t handle, const std::string& endpoint) {
    parcel.writeUint32(1);
    parcel.writeUint32(handle);
    parcel.writeString16(String16(endpoint.c_str()));
}

// Registers name for (endpoint, handle) from this process, on the wire.
status_t addRaw(const std::string& managerPath, const String16& name, const std::string& endpoint,
                uint32_t handle) {
    Parcel data, reply;
    data.writeInterfaceToken(String16(IServiceManager::INTERFACE_NAME));
    data.writeString16(name);
    writeReference(data, handle, endpoint);
    return ipc::Transport::self().resolve(managerPath, ipc::CONTEXT_HANDLE)->callBinder(ipc::SM_ADD, data, &reply);
}

std::string endpointOf(const sp<IBinder>& binder) {
    auto* remote = dynamic_cast<ipc::RemoteBinder*>(binder.get());
    return remote ? remote->endpoint() : std::string();
}

// A listener whose backlog is full: a connect to it waits until someone
// accepts, which nobody does.
class StuckListener {
public:
    explicit StuckListener(const std::string& endpoint) : mEndpoint(endpoint) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, endpoint.data(), endpoint.size());
        if (endpoint[0] == '@') addr.sun_path[0] = '\0';
        const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + endpoint.size() + (endpoint[0] != '@'));
        mListener.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        EXPECT_EQ(bind(mListener.get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
        EXPECT_EQ(listen(mListener.get(), 0), 0);
        for (int i = 0; i < 64; ++i) {
            ipc::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
                mFull = errno == EAGAIN;
                break;
            }
            mQueued.push_back(std::move(fd));
        }
        EXPECT_TRUE(mFull) << "the backlog of " << endpoint << " did not fill";
    }
    ~StuckListener() {
        if (mEndpoint[0] != '@') unlink(mEndpoint.c_str());
    }
    const std::string& endpoint() const { return mEndpoint; }
    // Closing the listener releases whoever still waits on it.
    void close() { mListener.reset(); }

private:
    std::string mEndpoint;
    ipc::UniqueFd mListener;
    std::vector<ipc::UniqueFd> mQueued;
    bool mFull = false;
};

// A service manager impostor: answers each call frame with what reply
// writes, on one connection after another, until it goes out of scope.
class FakeManager {
public:
    using Reply = std::function<void(int fd, const ipc::FrameHeader& call, const std::atomic<bool>& stop)>;

    FakeManager(const std::string& path, Reply reply) : mReply(std::move(reply)) {
        EXPECT_EQ(ipc::listenOn(path, &mListener), OK);
        mThread = std::thread([this] { run(); });
    }
    ~FakeManager() {
        mStop = true;
        mThread.join();
    }

    // Writes a reply frame with status OK and the parcel.
    static bool answer(int fd, const Parcel& parcel) {
        ipc::FrameHeader header;
        header.type = ipc::FRAME_REPLY;
        header.size = static_cast<uint32_t>(parcel.dataSize());
        return ipc::writeFrame(fd, header, parcel.data(), parcel.dataSize()) == OK;
    }

private:
    void run() {
        while (!mStop) {
            pollfd p{mListener.get(), POLLIN, 0};
            if (poll(&p, 1, 100) != 1) continue;
            ipc::UniqueFd fd(accept4(mListener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            ipc::FrameReader reader;
            ipc::FrameHeader call;
            std::vector<uint8_t> payload;
            while (!mStop) {
                const status_t status = reader.read(fd.get(), &call, &payload, 100);
                if (status == TIMED_OUT) continue;
                if (status != OK) break;
                if (call.type == ipc::FRAME_CALL) mReply(fd.get(), call, mStop);
            }
        }
    }

    ipc::UniqueFd mListener;
    Reply mReply;
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

size_t openDescriptors(pid_t pid) {
    const auto dir = std::filesystem::path("/proc") / std::to_string(pid) / "fd";
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

// A number from /proc/PID/status, e.g. "Threads:" or "VmSize:" (in KiB).
long statusField(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
    return -1;
}

// An object hosted by the test process itself.
class Local : public LocalBinder {
public:
    Local() : LocalBinder(String16("velmora.test.ILocal")) {}
};

TEST_F(ServiceManagerTest, ARegistrationTowardsAStuckListenerHoldsNobodyUp) {
    auto demo = startDemo();
    StuckListener trap("@velmora-test-trap-" + std::to_string(getpid()));
    std::atomic<bool> done{false};
    status_t status = UNKNOWN_ERROR;
    std::thread attacker([&] {
        status = addRaw(socketPath, String16("trap"), trap.endpoint(), 1);
        done = true;
    });

    const ServiceRun check = runService({"check", "echo"}, socketPath);
    EXPECT_FALSE(check.killedAtDeadline);
    EXPECT_EQ(check.out, "Service echo: found\n");
    EXPECT_TRUE(eventually([&] { return done.load(); }));
    trap.close();  // lets an attacker that still waits go
    attacker.join();
    EXPECT_EQ(status, DEAD_OBJECT);
    EXPECT_FALSE(sm->lookUpByName(String16("trap")));
}

TEST_F(ServiceManagerTest, NamesAndObjectsStayWithTheProcessThatHostsThem) {
    auto demo = startDemo();
    const std::string demoEndpoint = endpointOf(sm->lookUpByName(String16("echo")));
    ASSERT_FALSE(demoEndpoint.empty());

    // The victim's endpoint with another handle, for its name or a new one.
    EXPECT_EQ(addRaw(socketPath, String16("echo"), demoEndpoint, 2), ALREADY_EXISTS);
    EXPECT_EQ(addRaw(socketPath, String16("echo-too"), demoEndpoint, 1), PERMISSION_DENIED);
    EXPECT_FALSE(sm->lookUpByName(String16("echo-too")));
    const ServiceRun call = runService({"call", "echo", "1", "i32", "7"}, socketPath);
    EXPECT_EQ(call.out, "Result: Parcel(size=4: 00000007 '....')\n");

    // This process's own objects, under its own endpoint, are its to register.
    const sp<LocalBinder> mine(new Local);
    ASSERT_EQ(sm->addService(String16("mine"), mine), OK);
    std::string ownEndpoint;
    uint32_t handle = 0;
    ASSERT_EQ(ipc::Transport::self().exportObject(mine, &ownEndpoint, &handle), OK);
    EXPECT_EQ(addRaw(socketPath, String16("echo"), ownEndpoint, handle), ALREADY_EXISTS);

    // Once the holder has gone its names are free, whoever held them.
    demo->stop(SIGKILL);
    ASSERT_TRUE(eventually([&] { return !sm->lookUpByName(String16("echo")); }));
    EXPECT_EQ(sm->addService(String16("echo"), mine), OK);
    EXPECT_TRUE(sm->lookUpByName(String16("echo")) == sp<IBinder>(mine));
}

// A manager with few descriptors, as under `ulimit -n`.
class LimitedManagerTest : public ServiceManagerTest {
protected:
    void SetUp() override {
        ServiceManagerTest::SetUp();
        limitedPath = tmp.file("limited.sock");
        std::vector<std::string> command{"/bin/sh", "-c", "ulimit -n 256 && exec \"$@\"", "sh"};
        for (std::string& word : testsupport::runnable({SERVICEMANAGER_BIN, limitedPath}))
            command.push_back(std::move(word));
        limited = std::make_unique<Child>(command);
        ASSERT_TRUE(eventually([&] { return serviceManagerAt(limitedPath.c_str()) != nullptr; }));
        setenv(IServiceManager::ENV_VAR, limitedPath.c_str(), 1);
    }

    std::string limitedPath;
    std::unique_ptr<Child> limited;
};

TEST_F(LimitedManagerTest, NamesOnTheManagersOwnSocketAreRefusedAndCostNothing) {
    const size_t before = openDescriptors(limited->pid());
    const std::string dir = limitedPath.substr(0, limitedPath.rfind('/'));
    for (int i = 0; i < 120; ++i) {
        // Another spelling of the same path each time.
        std::string spelling = dir + std::string(1 + i / 12, '/');
        for (int j = 0; j < i % 12; ++j) spelling += "./";
        spelling += "limited.sock";
        ASSERT_LT(spelling.size(), 100u);
        const String16 name(("self-" + std::to_string(i)).c_str());
        ASSERT_EQ(addRaw(limitedPath, name, spelling, ipc::CONTEXT_HANDLE), PERMISSION_DENIED) << spelling;
    }
    EXPECT_LT(openDescriptors(limited->pid()), before + 8);
    EXPECT_TRUE(serviceManagerAt(limitedPath.c_str())->registeredNames().isEmpty());

    auto demo = startDemo();
    const ServiceRun list = runService({"list"}, limitedPath);
    EXPECT_EQ(list.out.substr(0, list.out.find('\n')), "Found 5 services:");
}

TEST_F(LimitedManagerTest, IdleConnectionsBeyondItsDescriptorsLeaveItServing) {
    std::vector<ipc::UniqueFd> idle(400);
    for (auto& fd : idle) ASSERT_EQ(ipc::connectTo(limitedPath, &fd), OK);

    // No thread per connection, and it refuses what it cannot hold.
    EXPECT_LE(statusField(limited->pid(), "Threads:"), 40);
    auto demo = startDemo({"-n", "20"});
    const ServiceRun list = runService({"list"}, limitedPath);
    EXPECT_EQ(list.out.substr(0, list.out.find('\n')), "Found 25 services:");
    const ServiceRun check = runService({"check", "gen-19"}, limitedPath);
    EXPECT_EQ(check.out, "Service gen-19: found\n");
    EXPECT_EQ(limited->stop(SIGTERM), 0) << "it must end normally, not by a signal";
}

TEST_F(ServiceManagerTest, WithFewTasksToSpareItGoesOnServing) {
    // As a user of its own under a task limit of 6 threads, as under a
    // cgroup pids limit (root is not held to RLIMIT_NPROC).
    // That user gets a copy of the manager it can reach.
    const std::filesystem::path dir = tmp.path() / "tasks";
    std::filesystem::create_directory(dir);
    std::filesystem::permissions(tmp.path(), std::filesystem::perms::owner_all | std::filesystem::perms::others_exec);
    std::filesystem::permissions(dir, std::filesystem::perms::all);
    const std::string path = (dir / "sm.sock").string();
    std::string why;
    std::vector<std::string> manager = testsupport::runnableByOthers({SERVICEMANAGER_BIN, path}, dir, &why);
    if (manager.empty()) GTEST_SKIP() << why;
    // LeakSanitizer's exit-time thread would not start under the limit.
    std::vector<std::string> command{"setpriv", "--reuid=61234", "--regid=61234", "--clear-groups",
                                     "prlimit",  "--nproc=6:6",   "env",           "ASAN_OPTIONS=detect_leaks=0"};
    for (std::string& word : manager) command.push_back(std::move(word));
    Child tight(command);
    ASSERT_TRUE(eventually([&] { return serviceManagerAt(path.c_str()) != nullptr; }));
    setenv(IServiceManager::ENV_VAR, path.c_str(), 1);

    std::vector<ipc::UniqueFd> idle(400);
    for (auto& fd : idle) ASSERT_EQ(ipc::connectTo(path, &fd), OK);
    auto demo = startDemo();
    std::vector<std::unique_ptr<Child>> clients;
    for (int i = 0; i < 20; ++i)
        clients.push_back(std::make_unique<Child>(std::vector<std::string>{TEST_HOST_BIN, "--client", "20"}));
    for (auto& client : clients) EXPECT_EQ(client->wait(), 0);
    EXPECT_LE(statusField(tight.pid(), "Threads:"), 6);
    EXPECT_EQ(tight.stop(SIGTERM), 0) << "it must end normally, not by a signal";
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(ServiceManagerTest, AnnouncedFramesCostOnlyWhatArrives) {
    // Headers that announce the largest frame, and then a byte at a time.
    ipc::FrameHeader header;
    header.type = ipc::FRAME_CALL;
    header.size = MAX_TRANSACTION_SIZE;
    uint8_t bytes[ipc::FRAME_HEADER_SIZE + 2] = {};
    ipc::encodeHeader(header, bytes);
    const auto consumed = [](int fd) {
        int unread = -1;
        return ioctl(fd, SIOCOUTQ, &unread) == 0 && unread == 0;
    };
    const long before = statusField(manager->pid(), "VmSize:");
    std::vector<ipc::UniqueFd> announced(100);
    for (auto& fd : announced) {
        ASSERT_EQ(ipc::connectTo(socketPath, &fd), OK);
        ASSERT_EQ(send(fd.get(), bytes, sizeof bytes - 1, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof bytes - 1));
        ASSERT_TRUE(eventually([&] { return consumed(fd.get()); }));
        ASSERT_EQ(send(fd.get(), bytes + sizeof bytes - 1, 1, MSG_NOSIGNAL), 1);
        ASSERT_TRUE(eventually([&] { return consumed(fd.get()); }));
    }
    EXPECT_LT(statusField(manager->pid(), "VmSize:") - before, 32 * 1024);
    EXPECT_TRUE(sm->registeredNames().isEmpty());  // and still serving
}

TEST_F(ServiceManagerTest, NamesOutsideTheLimitsAreRefused) {
    const sp<IBinder> object(new Local);
    const std::u16string longest(ipc::MAX_NAME_LENGTH, u'x');
    const struct {
        std::u16string name;
        status_t expected;
    } cases[] = {
        {u"plain.name-1_2 with space", OK},
        {u"caf\u00e9-\U0001F600", OK},
        {longest, OK},
        {longest + u"x", BAD_VALUE},
        {std::u16string(100000, u'y'), BAD_VALUE},
        {u"line\nforged", BAD_VALUE},
        {u"\x1b[2Jclear", BAD_VALUE},
        {u"tab\t", BAD_VALUE},
        {u"del\x7f", BAD_VALUE},
        {u"c1-\u009b", BAD_VALUE},
        {std::u16string(u"nul\0inside", 10), BAD_VALUE},
        {u"sep\u2028", BAD_VALUE},
        {std::u16string(1, char16_t(0xD83D)) + u"lone-high", BAD_VALUE},
        {u"lone-low" + std::u16string(1, char16_t(0xDE00)), BAD_VALUE},
        {std::u16string{char16_t(0xDE00), char16_t(0xD83D)}, BAD_VALUE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sm->addService(String16(c.name), object), c.expected) << String8(String16(c.name)).c_str();
        EXPECT_EQ(sm->lookUpByName(String16(c.name)) != nullptr, c.expected == OK);
    }

    // A registry of the longest names lists completely, across pages.
    for (size_t i = 0; i < ipc::LIST_PAGE + 50; ++i) {
        std::u16string name = longest;
        const std::string number = std::to_string(i);
        std::copy(number.begin(), number.end(), name.begin());
        ASSERT_EQ(sm->addService(String16(name), object), OK);
    }
    const size_t total = ipc::LIST_PAGE + 50 + 3;
    EXPECT_EQ(sm->registeredNames().size(), total);
    const ServiceRun list = runService({"list"}, socketPath);
    EXPECT_EQ(list.out.substr(0, list.out.find('\n')), "Found " + std::to_string(total) + " services:");
    EXPECT_EQ(static_cast<size_t>(std::count(list.out.begin(), list.out.end(), '\n')), total + 1);
}

// The probe of a manager: what an impostor at the path does to it.
class ProbeTest : public ::testing::Test {
protected:
    testsupport::TempDir tmp{"velmora-ipc"};
    std::string path = tmp.file("sm.sock");
};

TEST_F(ProbeTest, AFullBacklogEndsTheProbeInTime) {
    StuckListener stuck(path);
    const ServiceRun list = runService({"list"}, path);
    EXPECT_FALSE(list.killedAtDeadline);
    EXPECT_EQ(list.exit, testsupport::exitedWith(20));
}

TEST_F(ProbeTest, AnAnswerDribbledOutEndsTheProbeInTime) {
    FakeManager dribbler(path, [](int fd, const ipc::FrameHeader&, const std::atomic<bool>& stop) {
        Parcel name;
        name.writeString16(String16(IServiceManager::INTERFACE_NAME));
        ipc::FrameHeader header;
        header.type = ipc::FRAME_REPLY;
        header.size = static_cast<uint32_t>(name.dataSize());
        uint8_t bytes[ipc::FRAME_HEADER_SIZE];
        ipc::encodeHeader(header, bytes);
        // One byte every 1.5 s: each arrives before a 2 s wait for it ends.
        for (const uint8_t byte : bytes) {
            for (int i = 0; i < 15; ++i) {
                if (stop) return;
                std::this_thread::sleep_for(100ms);
            }
            if (send(fd, &byte, 1, MSG_NOSIGNAL) != 1) return;
        }
    });
    const ServiceRun list = runService({"list"}, path);
    EXPECT_FALSE(list.killedAtDeadline);
    EXPECT_EQ(list.exit, testsupport::exitedWith(20));
}

TEST_F(ProbeTest, AManagerThatAlwaysHasMoreNamesIsNotBelieved) {
    FakeManager endless(path, [](int fd, const ipc::FrameHeader& call, const std::atomic<bool>&) {
        Parcel reply;
        if (call.code == IBinder::INTERFACE_TRANSACTION) {
            reply.writeString16(String16(IServiceManager::INTERFACE_NAME));
        } else {
            reply.writeInt32(static_cast<int32_t>(ipc::LIST_PAGE));
            for (size_t i = 0; i < ipc::LIST_PAGE; ++i) reply.writeString16(String16("more"));
            reply.writeInt32(1);
        }
        FakeManager::answer(fd, reply);
    });
    const ServiceRun list = runService({"list"}, path, 30s);
    EXPECT_FALSE(list.killedAtDeadline);
    EXPECT_EQ(list.exit, testsupport::exitedWith(0));
    EXPECT_EQ(list.out, "Found 0 services:\n");
    EXPECT_LT(list.maxRssKiB, 256 * 1024);
}

}  // namespace
