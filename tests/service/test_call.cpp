// `service call`: what the data parcel carried after the interface token,
// read back through the echo service, and the faulty argument words.
#include <cstdint>
#include <string>

#include "service_fixture.h"

namespace {

using velmora::Parcel;
using velmora::String16;

void text(Parcel& p, const char* value) {
    if (value == nullptr) {
        p.writeInt32(-1);
    } else {
        p.writeString16(String16(value));
    }
}

void intentGroup(Parcel& p, const char* action, const char* data, const char* type, int32_t launchFlags,
                 const char* component) {
    text(p, action);
    text(p, data);
    text(p, type);
    p.writeInt32(launchFlags);
    text(p, component);
    p.writeInt32(0);
    p.writeInt32(-1);
}

class Call : public ServiceToolWithDemo {
protected:
    // Calls the echo service with the argument words and expects the reply
    // that `fill` describes, with no complaint.
    void expectEcho(const std::vector<std::string>& words, const std::function<void(Parcel&)>& fill) {
        std::vector<std::string> all{"call", "echo", "1"};
        all.insert(all.end(), words.begin(), words.end());
        Finished run = service(all);
        EXPECT_EQ(run.out, resultLine(fill));
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 0);
    }

    // A faulty word: the message, the reply of what came before it, then
    // the usage text.
    void expectFaulty(const std::vector<std::string>& words, const std::string& message,
                      const std::function<void(Parcel&)>& fill) {
        std::vector<std::string> all{"call", "echo", "1"};
        all.insert(all.end(), words.begin(), words.end());
        Finished run = service(all);
        EXPECT_EQ(run.out, resultLine(fill) + kUsage);
        EXPECT_EQ(run.err, message + "\n");
        EXPECT_EQ(run.status, 10);
    }
};

TEST_F(Call, NoArgumentWordsSendOnlyTheToken) {
    // The echo service rejects a wrong token, so an empty reply with
    // status 0 means token and nothing else.
    Finished run = service({"call", "echo", "1"});
    EXPECT_EQ(run.out, "Result: Parcel(size=0)\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

TEST_F(Call, IntegersAreConvertedLikeAtoi) {
    Finished run = service({"call", "echo", "1", "i32", "7"});
    EXPECT_EQ(run.out, "Result: Parcel(size=4: 00000007 '....')\n");
    expectEcho({"i32", "-5", "i32", "abc", "i32", "12abc", "i32", "2147483647", "i32", "-2147483648", "i32", "  +3",
                "i32", ""},
               [](Parcel& p) {
                   for (int32_t v : {-5, 0, 12, INT32_MAX, INT32_MIN, 3, 0}) p.writeInt32(v);
               });
}

TEST_F(Call, StringsTakeWhateverWordFollows) {
    expectEcho({"s16", "", "s16", "i32", "s16", "intent", "s16", "s16", "s16", "caf\xc3\xa9"}, [](Parcel& p) {
        for (const char* s : {"", "i32", "intent", "s16", "caf\xc3\xa9"}) {
            p.writeString16(String16(s));
        }
    });
}

TEST_F(Call, NullAppendsANullBinderAndTakesNoOperand) {
    expectEcho({"null", "i32", "1", "null"}, [](Parcel& p) {
        p.writeStrongBinder(nullptr);
        p.writeInt32(1);
        p.writeStrongBinder(nullptr);
    });
}

TEST_F(Call, IntentAloneAppendsTheEmptyGroup) {
    expectEcho({"i32", "9", "intent"}, [](Parcel& p) {
        p.writeInt32(9);
        intentGroup(p, nullptr, nullptr, nullptr, 0, nullptr);
    });
}

TEST_F(Call, IntentWithEveryKey) {
    expectEcho({"intent", "component=C", "type=T", "launchFlags=16", "data=D", "action=A"},
               [](Parcel& p) { intentGroup(p, "A", "D", "T", 16, "C"); });
}

TEST_F(Call, IntentValuesEndAtAFurtherEqualsSign) {
    // "=type=T" skips its leading '='; "action=" has no value.
    expectEcho({"intent", "data=a=b", "action=", "=type=T", "component==x"},
               [](Parcel& p) { intentGroup(p, nullptr, "a", "T", 0, "x"); });
}

TEST_F(Call, LaterIntentKeysOverrideEarlierOnes) {
    expectEcho({"intent", "action=A", "action", "component=C", "component=D", "unknown=1"},
               [](Parcel& p) { intentGroup(p, nullptr, nullptr, nullptr, 0, "D"); });
}

TEST_F(Call, LaunchFlagsConversions) {
    const std::pair<std::vector<std::string>, int32_t> cases[] = {
        {{"launchFlags=16"}, 16},
        {{"launchFlags=0x10"}, 0},
        {{"launchFlags=-1"}, -1},
        {{"launchFlags=16", "launchFlags"}, 0},
        {{"launchFlags=16", "launchFlags="}, 0},
    };
    for (const auto& [keys, flags] : cases) {
        SCOPED_TRACE(keys.back());
        std::vector<std::string> words{"intent"};
        words.insert(words.end(), keys.begin(), keys.end());
        expectEcho(words, [flags = flags](Parcel& p) { intentGroup(p, nullptr, nullptr, nullptr, flags, nullptr); });
    }
}

TEST_F(Call, CategoriesNeverEnterTheParcelWhateverTheirNumber) {
    std::string many = "categories=";
    for (int i = 0; i < 40; ++i) many += "cat" + std::to_string(i) + ",";
    expectEcho({"intent", many, "action=A", "categories=,,a,,b,", "categories"},
               [](Parcel& p) { intentGroup(p, "A", nullptr, nullptr, 0, nullptr); });
}

TEST_F(Call, EveryWordAfterIntentIsAKey) {
    // The typed words and the second "intent" are skipped keys; the later
    // action still counts. Only one group is written.
    expectEcho({"intent", "action=A", "i32", "5", "null", "intent", "action=B", "s16", "x"},
               [](Parcel& p) { intentGroup(p, "B", nullptr, nullptr, 0, nullptr); });
}

TEST_F(Call, EmptyOrEqualsOnlyWordEndsTheIntentAndIsFaulty) {
    expectFaulty({"intent", "action=A", "", "i32", "5"}, "service: unknown option ",
                 [](Parcel& p) { intentGroup(p, "A", nullptr, nullptr, 0, nullptr); });
    expectFaulty({"intent", "==", "i32", "5"}, "service: unknown option ==", [](Parcel& p) {
        intentGroup(p, nullptr, nullptr, nullptr, 0, nullptr);
    });
}

TEST_F(Call, MissingOperandAtTheEndStillSendsWhatCameBefore) {
    expectFaulty({"i32", "1", "i32"}, "service: no integer supplied for 'i32'", [](Parcel& p) { p.writeInt32(1); });
    expectFaulty({"s16", "a", "s16"}, "service: no string supplied for 's16'",
                 [](Parcel& p) { p.writeString16(String16("a")); });
}

TEST_F(Call, UnknownWordStopsTheArgumentsThere) {
    expectFaulty({"i32", "1", "bogus", "i32", "2"}, "service: unknown option bogus",
                 [](Parcel& p) { p.writeInt32(1); });
    for (const std::string word : {"I32", "S16", "Null", "INTENT", "-5"}) {
        expectFaulty({word, "2"}, "service: unknown option " + word, [](Parcel&) {});
    }
}

TEST_F(Call, FaultyWordWithAFailingServiceStillShowsTheReplyThenTheUsage) {
    Finished run = service({"call", "failing", "1", "bogus"});
    EXPECT_EQ(run.out, "Result: Parcel(size=0)\n" + kUsage);
    EXPECT_EQ(run.err, "service: unknown option bogus\n");
    EXPECT_EQ(run.status, 10);
}

TEST_F(Call, CodeReachesTheServiceAsAtoiReadsIt) {
    startTestHost({"codes:code"});
    const std::pair<std::string, uint32_t> cases[] = {
        {"7", 7}, {"abc", 0}, {"0x10", 0}, {"-1", 0xffffffffu}, {" 12", 12}, {"+2147483647x", 0x7fffffffu},
    };
    for (const auto& [word, code] : cases) {
        SCOPED_TRACE(word);
        Finished run = service({"call", "codes", word, "i32", "4"});
        EXPECT_EQ(run.out, resultLine([code = code](Parcel& p) {
                      p.writeUint32(code);
                      p.writeInt32(4);
                  }));
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 0);
    }
}

}  // namespace
