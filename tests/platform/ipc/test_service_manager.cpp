// End-to-end: the real servicemanager, demo-services and test hosts, each in
// its own process, reached through the library.
#include "ipc_test_util.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>
#include <set>

#include <velmora/Parcel.h>
#include <velmora/String8.h>
#include <velmora/TextOutput.h>

#include "Transport.h"

using namespace velmora;
using ipctest::Child;
using ipctest::eventually;
using ipctest::ServiceManagerTest;

namespace {

std::vector<std::string> namesOf(IServiceManager& sm) {
    std::vector<std::string> out;
    for (const String16& name : sm.registeredNames()) out.emplace_back(String8(name).c_str());
    return out;
}

String16 interfaceOf(const sp<IBinder>& binder, status_t* status = nullptr) {
    Parcel data, reply;
    const status_t st = binder->callBinder(IBinder::INTERFACE_TRANSACTION, data, &reply);
    if (status) *status = st;
    return st == OK ? reply.readString16() : String16();
}

// An object hosted by the test process itself.
class Local : public LocalBinder {
public:
    Local() : LocalBinder(String16("velmora.test.ILocal")) {}
};

bool registered(IServiceManager& sm, const std::string& name) {
    return sm.lookUpByName(String16(name.c_str())) != nullptr;
}

TEST(NoServiceManagerTest, DefaultServiceManagerIsNullWhenNoneAnswers) {
    ipctest::TempDir tmp("velmora-ipc");
    const std::string missing = tmp.file("none.sock");
    setenv(IServiceManager::ENV_VAR, missing.c_str(), 1);
    EXPECT_FALSE(defaultServiceManager());

    // A socket file left behind by a dead daemon.
    ipc::UniqueFd stale;
    ASSERT_EQ(ipc::listenOn(missing, &stale), OK);
    stale.reset();
    EXPECT_FALSE(defaultServiceManager());

    // Something that accepts connections but never answers.
    const std::string silent = tmp.file("silent.sock");
    ipc::UniqueFd listener;
    ASSERT_EQ(ipc::listenOn(silent, &listener), OK);
    setenv(IServiceManager::ENV_VAR, silent.c_str(), 1);
    EXPECT_FALSE(defaultServiceManager());
    unsetenv(IServiceManager::ENV_VAR);
}

TEST_F(ServiceManagerTest, ListsDemoServicesWithTheirInterfaceNames) {
    EXPECT_TRUE(sm->registeredNames().isEmpty());
    auto demo = startDemo({"-n", "3"});
    const std::vector<std::string> expected{"echo",     "failing", "no-interface", "caf\xc3\xa9-\xf0\x9f\x98\x80",
                                            "refusing", "gen-0",   "gen-1",        "gen-2"};
    EXPECT_EQ(namesOf(*sm), expected);

    EXPECT_EQ(interfaceOf(sm->lookUpByName(String16("echo"))), String16("velmora.demo.IEcho"));
    EXPECT_EQ(interfaceOf(sm->lookUpByName(String16("failing"))), String16("velmora.demo.IFailing"));
    status_t status = UNKNOWN_ERROR;
    EXPECT_TRUE(interfaceOf(sm->lookUpByName(String16("no-interface")), &status).empty());
    EXPECT_EQ(status, OK);
    const sp<IBinder> unicode = sm->lookUpByName(String16("caf\xc3\xa9-\xf0\x9f\x98\x80"));
    ASSERT_TRUE(unicode);
    EXPECT_EQ(interfaceOf(unicode), String16("velmora.demo.ICaf\xc3\xa9\xe2\x9c\x93"));
    EXPECT_TRUE(interfaceOf(sm->lookUpByName(String16("refusing")), &status).empty());
    EXPECT_EQ(status, PERMISSION_DENIED);
    EXPECT_EQ(interfaceOf(sm->lookUpByName(String16("gen-2"))), String16("velmora.demo.IGenerated"));

    EXPECT_FALSE(sm->lookUpByName(String16("Echo")));
    EXPECT_FALSE(sm->lookUpByName(String16("")));
}

TEST_F(ServiceManagerTest, ListingPagesThroughLargeRegistries) {
    auto demo = startDemo({"-n", "600"});
    const auto names = namesOf(*sm);
    ASSERT_EQ(names.size(), 605u);
    EXPECT_EQ(names[5], "gen-0");
    EXPECT_EQ(names[604], "gen-599");
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 605u);
}

TEST_F(ServiceManagerTest, EchoAndErrorServicesAnswerAsDocumented) {
    auto demo = startDemo();
    const sp<IBinder> echo = sm->lookUpByName(String16("echo"));
    ASSERT_TRUE(echo);
    Parcel data, reply;
    data.writeInterfaceToken(String16("velmora.demo.IEcho"));
    data.writeInt32(-5);
    data.writeString16(String16(""));
    data.writeNullString16();
    data.writeStrongBinder(nullptr);
    EXPECT_EQ(echo->callBinder(3, data, &reply), OK);
    StringTextOutput out;
    reply.print(out);
    EXPECT_EQ(out.str(), "Parcel(size=20: fffffffb 00000000 00000000 ffffffff 00000000 '....................')");

    // A one-way call gets no reply, and none turns up for the next call.
    reply.writeInt32(1);
    EXPECT_EQ(echo->callBinder(3, data, &reply, IBinder::FLAG_ONEWAY), OK);
    EXPECT_EQ(reply.dataSize(), 0u);
    Parcel single;
    single.writeInterfaceToken(String16("velmora.demo.IEcho"));
    single.writeInt32(42);
    EXPECT_EQ(echo->callBinder(3, single, &reply), OK);
    EXPECT_EQ(reply.readInt32(), 42);
    EXPECT_EQ(reply.dataAvail(), 0u);

    Parcel wrongToken;
    wrongToken.writeInterfaceToken(String16("velmora.demo.IOther"));
    EXPECT_EQ(echo->callBinder(3, wrongToken, &reply), PERMISSION_DENIED);
    EXPECT_EQ(reply.dataSize(), 0u);

    const sp<IBinder> failing = sm->lookUpByName(String16("failing"));
    ASSERT_TRUE(failing);
    for (uint32_t code : {0u, 1u, 0xffffffffu}) EXPECT_EQ(failing->callBinder(code, data, &reply), INVALID_OPERATION);
    EXPECT_EQ(sm->lookUpByName(String16("refusing"))->callBinder(1, data, &reply), OK);
}

TEST_F(ServiceManagerTest, BindersPassedInParcelsStayCallable) {
    auto demo = startDemo();
    // The echo service hands back a reference to the failing service; the
    // copy that comes back calls the failing service's host directly.
    const sp<IBinder> echo = sm->lookUpByName(String16("echo"));
    Parcel data, reply;
    data.writeInterfaceToken(String16("velmora.demo.IEcho"));
    data.writeStrongBinder(sm->lookUpByName(String16("failing")));
    ASSERT_EQ(echo->callBinder(1, data, &reply), OK);
    const sp<IBinder> back = reply.readStrongBinder();
    ASSERT_TRUE(back);
    EXPECT_EQ(interfaceOf(back), String16("velmora.demo.IFailing"));

    // A local object sent out comes back as itself.
    sp<IBinder> mine(new Local);
    Parcel out;
    out.writeInterfaceToken(String16("velmora.demo.IEcho"));
    out.writeStrongBinder(mine);
    ASSERT_EQ(echo->callBinder(1, out, &reply), OK);
    EXPECT_TRUE(reply.readStrongBinder() == mine);
}

TEST_F(ServiceManagerTest, DuplicateNamesStayWithTheirLiveHolder) {
    auto first = startHost({"dup"});
    EXPECT_EQ(first->lines().front(), "dup: OK");
    auto second = startHost({"dup", "other"});
    EXPECT_EQ(second->lines()[0], "dup: ALREADY_EXISTS");
    EXPECT_EQ(second->lines()[1], "other: OK");

    Parcel data, reply;
    ASSERT_EQ(sm->lookUpByName(String16("dup"))->callBinder(1, data, &reply), OK);
    EXPECT_EQ(reply.readInt32(), first->pid());

    // When the holder ends its names leave; the name is free again.
    first->stop(SIGKILL);
    EXPECT_TRUE(eventually([&] { return !registered(*sm, "dup"); }));
    EXPECT_EQ(namesOf(*sm), std::vector<std::string>{"other"});
    auto third = startHost({"dup"});
    EXPECT_EQ(third->lines().front(), "dup: OK");

    // The holder itself may replace its object.
    sp<IBinder> a(new Local), b(new Local);
    EXPECT_EQ(sm->addService(String16("mine"), a), OK);
    EXPECT_EQ(sm->addService(String16("mine"), b), OK);
    EXPECT_TRUE(sm->lookUpByName(String16("mine")) == b);
    EXPECT_EQ(sm->addService(String16("dup"), a), ALREADY_EXISTS);
    EXPECT_EQ(sm->addService(String16(""), a), BAD_VALUE);
    EXPECT_EQ(sm->addService(String16("x"), nullptr), BAD_VALUE);
}

TEST_F(ServiceManagerTest, NamesLeaveWhenTheHostEnds) {
    auto demo = startDemo({"-n", "10"});
    EXPECT_EQ(namesOf(*sm).size(), 15u);
    const sp<IBinder> echo = sm->lookUpByName(String16("echo"));
    demo->stop(SIGTERM);
    EXPECT_TRUE(eventually([&] { return sm->registeredNames().isEmpty(); }));
    // A reference held from before fails as dead instead of hanging.
    Parcel data, reply;
    EXPECT_EQ(echo->callBinder(IBinder::INTERFACE_TRANSACTION, data, &reply), DEAD_OBJECT);
}

// The pid of the test host that answers for name, or 0 when unregistered.
int32_t hostOf(IServiceManager& sm, const char* name) {
    const sp<IBinder> binder = sm.lookUpByName(String16(name));
    Parcel data, reply;
    if (!binder || binder->callBinder(1, data, &reply) != OK) return 0;
    return reply.readInt32();
}

TEST_F(ServiceManagerTest, LookUpsFollowRemovalsAndReRegistrations) {
    auto a = startHost({"a1", "a2"});
    auto b = startHost({"b1", "b2", "b3"});
    auto c = startHost({"c1"});
    const auto expectHosts = [&](std::vector<std::pair<const char*, int32_t>> expected) {
        for (const auto& [name, pid] : expected) EXPECT_EQ(hostOf(*sm, name), pid) << name;
    };
    expectHosts({{"a1", a->pid()}, {"b2", b->pid()}, {"c1", c->pid()}, {"zz", 0}});

    // A host in the middle ends: the names after its own still resolve.
    const int32_t bPid = b->pid();
    b->stop(SIGKILL);
    ASSERT_TRUE(eventually([&] { return !registered(*sm, "b1"); }));
    EXPECT_EQ(namesOf(*sm), (std::vector<std::string>{"a1", "a2", "c1"}));
    expectHosts({{"a1", a->pid()}, {"a2", a->pid()}, {"c1", c->pid()}, {"b1", 0}, {"b2", 0}, {"b3", 0}});

    // Its names are free again, for a new host, at the end of the order.
    auto d = startHost({"b2", "d1"});
    EXPECT_EQ(d->lines()[0], "b2: OK");
    EXPECT_EQ(namesOf(*sm), (std::vector<std::string>{"a1", "a2", "c1", "b2", "d1"}));
    expectHosts({{"b2", d->pid()}, {"d1", d->pid()}, {"c1", c->pid()}});
    EXPECT_NE(d->pid(), bPid);

    // The first host ends while another takes over one of its names at once,
    // before or after the registry notices: the new holder keeps it.
    a->stop(SIGKILL);
    auto e = startHost({"a2"});
    EXPECT_EQ(e->lines()[0], "a2: OK");
    ASSERT_TRUE(eventually([&] { return !registered(*sm, "a1"); }));
    EXPECT_EQ(namesOf(*sm), (std::vector<std::string>{"c1", "b2", "d1", "a2"}));
    expectHosts({{"a2", e->pid()}, {"c1", c->pid()}, {"b2", d->pid()}, {"d1", d->pid()}, {"a1", 0}});

    // A name replaced by its own holder keeps its place.
    sp<IBinder> first(new Local), second(new Local);
    ASSERT_EQ(sm->addService(String16("mine"), first), OK);
    ASSERT_EQ(sm->addService(String16("last"), first), OK);
    ASSERT_EQ(sm->addService(String16("mine"), second), OK);
    EXPECT_EQ(namesOf(*sm), (std::vector<std::string>{"c1", "b2", "d1", "a2", "mine", "last"}));
    EXPECT_TRUE(sm->lookUpByName(String16("mine")) == second);
    EXPECT_TRUE(sm->lookUpByName(String16("last")) == first);
}

TEST_F(ServiceManagerTest, LookUpsStayRightWhenAManyNamedHostEnds) {
    auto before = startHost({"before"});
    auto demo = startDemo({"-n", "600"});
    auto after = startHost({"after-1", "after-2"});
    EXPECT_EQ(interfaceOf(sm->lookUpByName(String16("gen-599"))), String16("velmora.demo.IGenerated"));
    demo->stop(SIGTERM);
    ASSERT_TRUE(eventually([&] { return sm->registeredNames().size() == 3; }));
    EXPECT_EQ(namesOf(*sm), (std::vector<std::string>{"before", "after-1", "after-2"}));
    EXPECT_EQ(hostOf(*sm, "before"), before->pid());
    EXPECT_EQ(hostOf(*sm, "after-1"), after->pid());
    EXPECT_EQ(hostOf(*sm, "after-2"), after->pid());
    for (const char* gone : {"gen-0", "gen-599", "echo"}) EXPECT_FALSE(registered(*sm, gone)) << gone;
}

TEST_F(ServiceManagerTest, HostDyingMidCallGivesDeadObject) {
    auto host = startHost({"stall", "crash"});
    const sp<IBinder> crash = sm->lookUpByName(String16("crash"));
    const sp<IBinder> stall = sm->lookUpByName(String16("stall"));
    ASSERT_TRUE(crash && stall);
    Parcel data, reply;
    EXPECT_EQ(crash->callBinder(1, data, &reply), DEAD_OBJECT);
    host->wait();

    auto stalled = startHost({"stall"});
    const sp<IBinder> stuck = sm->lookUpByName(String16("stall"));
    ASSERT_TRUE(stuck);
    std::thread killer([&] {
        if (stalled->waitForLine("called")) kill(stalled->pid(), SIGKILL);
    });
    EXPECT_EQ(stuck->callBinder(1, data, &reply), DEAD_OBJECT);
    killer.join();
}

// Writes raw bytes to a socket and tells whether the peer then hung up.
bool peerHangsUpAfter(const std::string& endpoint, const std::vector<uint8_t>& bytes) {
    ipc::UniqueFd fd;
    if (ipc::connectTo(endpoint, &fd) != OK) return false;
    if (send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) return false;
    pollfd p{fd.get(), POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return false;
    char byte;
    return recv(fd.get(), &byte, 1, 0) == 0;
}

std::vector<uint8_t> header(uint32_t magic, uint32_t type, uint32_t size) {
    ipc::FrameHeader h;
    h.magic = magic;
    h.type = type;
    h.size = size;
    std::vector<uint8_t> bytes(ipc::FRAME_HEADER_SIZE);
    ipc::encodeHeader(h, bytes.data());
    return bytes;
}

TEST_F(ServiceManagerTest, MalformedMessagesCloseOnlyTheirConnection) {
    auto demo = startDemo();
    const sp<IBinder> echo = sm->lookUpByName(String16("echo"));
    auto* remote = dynamic_cast<ipc::RemoteBinder*>(echo.get());
    ASSERT_NE(remote, nullptr);
    for (const std::string& endpoint : {socketPath, remote->endpoint()}) {
        SCOPED_TRACE(endpoint);
        EXPECT_TRUE(peerHangsUpAfter(endpoint, header(0x12345678, ipc::FRAME_CALL, 0)));
        EXPECT_TRUE(peerHangsUpAfter(endpoint, header(ipc::FRAME_MAGIC, 7, 0)));
        EXPECT_TRUE(peerHangsUpAfter(endpoint, header(ipc::FRAME_MAGIC, ipc::FRAME_REPLY, 0)));
        EXPECT_TRUE(peerHangsUpAfter(endpoint, header(ipc::FRAME_MAGIC, ipc::FRAME_CALL, MAX_TRANSACTION_SIZE + 1)));
    }
    // A peer that stops halfway through a frame holds up nobody else.
    ipc::UniqueFd stuck;
    ASSERT_EQ(ipc::connectTo(socketPath, &stuck), OK);
    const auto half = header(ipc::FRAME_MAGIC, ipc::FRAME_CALL, 100);
    ASSERT_EQ(send(stuck.get(), half.data(), half.size() / 2, MSG_NOSIGNAL), static_cast<ssize_t>(half.size() / 2));

    // A call whose parcel lies about its strings is answered with an error.
    Parcel lying;
    lying.writeInterfaceToken(String16(IServiceManager::INTERFACE_NAME));
    lying.writeInt32(1000);
    Parcel reply;
    sp<IBinder> context = ipc::Transport::self().resolve(socketPath, ipc::CONTEXT_HANDLE);
    EXPECT_EQ(context->callBinder(1, lying, &reply), NOT_ENOUGH_DATA);
    EXPECT_EQ(context->callBinder(77, lying, &reply), UNKNOWN_TRANSACTION);
    Parcel untokened;
    EXPECT_EQ(context->callBinder(1, untokened, &reply), PERMISSION_DENIED);

    // Everyone else is still served.
    EXPECT_EQ(namesOf(*sm).size(), 5u);
    EXPECT_EQ(interfaceOf(echo), String16("velmora.demo.IEcho"));
}

TEST_F(ServiceManagerTest, TransactionsOverOneMebibyteAreRefused) {
    auto demo = startDemo();
    const sp<IBinder> echo = sm->lookUpByName(String16("echo"));
    Parcel big, reply;
    big.writeInterfaceToken(String16("velmora.demo.IEcho"));
    const size_t tokenSize = big.dataSize();
    const std::vector<uint8_t> filler(MAX_TRANSACTION_SIZE - tokenSize, 'x');
    Parcel fill;
    fill.setData(filler.data(), filler.size());
    big.appendFrom(fill, 0, fill.dataSize());
    ASSERT_EQ(big.dataSize(), MAX_TRANSACTION_SIZE);
    EXPECT_EQ(echo->callBinder(1, big, &reply), OK);  // exactly at the limit
    EXPECT_EQ(reply.dataSize(), MAX_TRANSACTION_SIZE - tokenSize);
    big.writeInt32(1);
    EXPECT_EQ(echo->callBinder(1, big, &reply), TOO_LARGE);
    EXPECT_EQ(interfaceOf(echo), String16("velmora.demo.IEcho"));

    // A reply over the limit is refused by the host, which stays up.
    auto host = startHost({"big"});
    const sp<IBinder> bigReply = sm->lookUpByName(String16("big"));
    ASSERT_TRUE(bigReply);
    Parcel empty;
    EXPECT_EQ(bigReply->callBinder(1, empty, &reply), TOO_LARGE);
    EXPECT_EQ(reply.dataSize(), 0u);
    EXPECT_EQ(interfaceOf(bigReply), String16("velmora.test.IHost"));
}

TEST_F(ServiceManagerTest, HundredConcurrentClientsLoseNothing) {
    // Under emulation each client costs tens of milliseconds of CPU to start:
    // a hundred at once on two cores would keep the last ones from the
    // manager's first answer within the library's 2 s limit.
    const int processes = testsupport::emulated() ? 16 : 100;
    auto demo = startDemo();
    std::vector<std::unique_ptr<Child>> clients;
    for (int i = 0; i < processes; ++i)
        clients.push_back(std::make_unique<Child>(std::vector<std::string>{TEST_HOST_BIN, "--client", "20"}));
    for (auto& client : clients) {
        const int status = client->wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    // And 100 registrations at once from one process, each on its own thread.
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 100; ++i) {
        threads.emplace_back([&, i] {
            const String16 name(("thread-" + std::to_string(i)).c_str());
            if (sm->addService(name, sp<IBinder>(new Local)) != OK || !sm->lookUpByName(name)) ++failures;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(namesOf(*sm).size(), 105u);
}

TEST_F(ServiceManagerTest, DaemonGuardsItsSocket) {
    // A second daemon on a live socket gives up and leaves it working.
    Child second({SERVICEMANAGER_BIN, socketPath});
    const int status = second.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_TRUE(defaultServiceManager());

    // It removes its socket on SIGTERM, and a new one replaces a stale socket.
    sm.clear();
    EXPECT_EQ(WEXITSTATUS(manager->stop(SIGTERM)), 0);
    EXPECT_FALSE(std::filesystem::exists(socketPath));
    ipc::UniqueFd stale;
    ASSERT_EQ(ipc::listenOn(socketPath, &stale), OK);
    stale.reset();
    Child fresh({SERVICEMANAGER_BIN, socketPath});
    ASSERT_TRUE(eventually([&] {
        ipc::UniqueFd probe;
        return ipc::connectTo(socketPath, &probe) == OK;
    }));
    // Connections kept from the old daemon must not stand in the way.
    EXPECT_TRUE(defaultServiceManager());
}

}  // namespace
