#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <velmora/IBinder.h>
#include <velmora/Parcel.h>
#include <velmora/TextOutput.h>

using namespace velmora;

namespace {

Parcel fromWords(std::vector<uint32_t> words) {
    Parcel p;
    p.setData(reinterpret_cast<const uint8_t*>(words.data()), words.size() * 4);
    return p;
}

std::vector<uint32_t> words(const Parcel& p) {
    std::vector<uint32_t> out(p.dataSize() / 4);
    std::memcpy(out.data(), p.data(), out.size() * 4);
    return out;
}

std::string printed(const Parcel& p) {
    StringTextOutput out;
    p.print(out, 0);
    return out.str();
}

TEST(ParcelTest, ValuesComeBackInOrder) {
    Parcel p;
    p.writeInterfaceToken(String16("velmora.test.IThing"));
    p.writeInt32(-5);
    p.writeString16(String16("h\xc3\xa9llo \xf0\x9f\x98\x80"));
    p.writeUint32(0xdeadbeef);
    p.writeString16(String16());
    p.writeNullString16();
    p.writeStrongBinder(nullptr);

    EXPECT_TRUE(p.enforceInterface(String16("velmora.test.IThing")));
    EXPECT_EQ(p.readInt32(), -5);
    EXPECT_EQ(p.readString16(), String16("h\xc3\xa9llo \xf0\x9f\x98\x80"));
    uint32_t u = 0;
    EXPECT_EQ(p.readUint32(&u), OK);
    EXPECT_EQ(u, 0xdeadbeefu);
    std::optional<String16> empty, null;
    EXPECT_EQ(p.readNullableString16(&empty), OK);
    EXPECT_EQ(p.readNullableString16(&null), OK);
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());
    EXPECT_FALSE(null.has_value());
    sp<IBinder> binder;
    EXPECT_EQ(p.readStrongBinder(&binder), OK);
    EXPECT_FALSE(binder);
    EXPECT_EQ(p.dataAvail(), 0u);
}

TEST(ParcelTest, LayoutIsWordAlignedWithTerminatedStrings) {
    Parcel p;
    p.writeString16(String16(""));
    EXPECT_EQ(words(p), (std::vector<uint32_t>{0, 0}));
    p.freeData();
    p.writeString16(String16("a"));
    EXPECT_EQ(words(p), (std::vector<uint32_t>{1, 0x61}));
    p.freeData();
    p.writeString16(String16("hi"));
    p.writeNullString16();
    p.writeStrongBinder(nullptr);
    p.writeInt32(-1);
    EXPECT_EQ(words(p), (std::vector<uint32_t>{2, 0x00690068, 0, 0xffffffff, 0, 0xffffffff}));
}

TEST(ParcelTest, WrongInterfaceTokenIsRefused) {
    Parcel p;
    p.writeInterfaceToken(String16("velmora.a"));
    EXPECT_FALSE(p.enforceInterface(String16("velmora.b")));
    p.setDataPosition(0);
    EXPECT_FALSE(p.enforceInterface(String16("velmora.")));
    Parcel null;
    null.writeNullString16();
    EXPECT_FALSE(null.enforceInterface(String16("")));
    EXPECT_FALSE(Parcel().enforceInterface(String16("")));
}

// Every way a peer's parcel can lie: each read fails with a status, leaves
// the position alone and never reads outside the data (ASan would tell).
TEST(ParcelTest, MalformedReadsFailWithoutMovingTheCursor) {
    struct Case {
        const char* what;
        std::vector<uint32_t> data;
        status_t string16;
        status_t binder;
    } cases[] = {
        {"empty", {}, NOT_ENOUGH_DATA, NOT_ENOUGH_DATA},
        {"length beyond the data", {5, 0x00620061}, NOT_ENOUGH_DATA, BAD_PARCEL},
        {"huge length", {0x7fffffff, 0}, NOT_ENOUGH_DATA, BAD_PARCEL},
        {"negative length", {0xfffffffe, 0}, BAD_PARCEL, BAD_PARCEL},
        {"no terminator", {2, 0x00620061, 0x00630063}, BAD_PARCEL, BAD_PARCEL},
        {"binder without handle", {1}, NOT_ENOUGH_DATA, NOT_ENOUGH_DATA},
        {"binder without endpoint", {1, 7}, OK, NOT_ENOUGH_DATA},
        {"binder with null endpoint", {1, 7, 0xffffffff}, OK, BAD_PARCEL},
        {"binder with empty endpoint", {1, 7, 0, 0}, OK, BAD_PARCEL},
        {"binder with a 0 in its endpoint", {1, 7, 2, 0x00000061, 0}, OK, BAD_PARCEL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Parcel p = fromWords(c.data);
        String16 text("stale");
        // Where the words happen to form a valid string, only the binder read is checked.
        if (c.string16 != OK) {
            EXPECT_EQ(p.readString16(&text), c.string16);
            EXPECT_TRUE(text.empty());
            EXPECT_EQ(p.dataPosition(), 0u);
        }
        sp<IBinder> binder;
        EXPECT_EQ(p.readStrongBinder(&binder), c.binder);
        EXPECT_FALSE(binder);
        EXPECT_EQ(p.dataPosition(), 0u);
    }
    // Unknown binder kind.
    Parcel kind = fromWords({9});
    sp<IBinder> binder;
    EXPECT_EQ(kind.readStrongBinder(&binder), BAD_PARCEL);
    // A short tail: 3 bytes are no int32, whatever the position says.
    Parcel tail;
    const uint8_t three[3] = {1, 2, 3};
    tail.setData(three, 3);
    int32_t value = 42;
    EXPECT_EQ(tail.readInt32(&value), NOT_ENOUGH_DATA);
    EXPECT_EQ(tail.readInt32(), 0);
    tail.setDataPosition(100);
    EXPECT_EQ(tail.dataPosition(), 3u);
    EXPECT_EQ(tail.readString16(), String16());
}

TEST(ParcelTest, AppendFromChecksItsRange) {
    Parcel src;
    src.writeInt32(1);
    src.writeInt32(2);
    Parcel dst;
    EXPECT_EQ(dst.appendFrom(src, 4, 4), OK);
    EXPECT_EQ(dst.readInt32(), 2);
    EXPECT_EQ(dst.appendFrom(src, 4, 8), BAD_VALUE);
    EXPECT_EQ(dst.appendFrom(src, 9, 0), BAD_VALUE);
    EXPECT_EQ(dst.appendFrom(src, 4, SIZE_MAX), BAD_VALUE);
}

TEST(ParcelPrintTest, RendersSizeWordsAndCharacters) {
    EXPECT_EQ(printed(Parcel()), "Parcel(size=0)");
    Parcel p;
    p.writeInt32(7);
    p.writeString16(String16("hi"));
    p.writeStrongBinder(nullptr);
    EXPECT_EQ(printed(p),
              "Parcel(size=20: 00000007 00000002 00690068 00000000 00000000 "
              "'........h.i.........')");
    p.freeData();
    p.writeInt32(-1);
    p.writeInt32(0x41424344);
    EXPECT_EQ(printed(p), "Parcel(size=8: ffffffff 41424344 '....DCBA')");
    const uint8_t odd[6] = {'a', 'b', 'c', 'd', 0x0a, '\''};
    p.setData(odd, sizeof odd);
    EXPECT_EQ(printed(p), "Parcel(size=6: 64636261 0a27 'abcd.'')");
}

class NamedObject : public LocalBinder {
public:
    using LocalBinder::LocalBinder;
    int calls = 0;

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override {
        ++calls;
        if (code == 1) return reply->writeInt32(data.readInt32() * 2);
        return LocalBinder::onTransact(code, data, reply, flags);
    }
};

TEST(LocalBinderTest, AnswersItsInterfaceNameAndItsOwnCodes) {
    sp<NamedObject> object(new NamedObject(String16("velmora.test.INamed")));
    Parcel data, reply;
    reply.writeInt32(99);  // stale contents are dropped
    EXPECT_EQ(object->callBinder(IBinder::INTERFACE_TRANSACTION, data, &reply), OK);
    EXPECT_EQ(reply.readString16(), String16("velmora.test.INamed"));
    data.writeInt32(21);
    data.readInt32();  // the object reads from the start whatever the caller did
    EXPECT_EQ(object->callBinder(1, data, &reply), OK);
    EXPECT_EQ(reply.readInt32(), 42);
    EXPECT_EQ(object->callBinder(2, data, &reply), UNKNOWN_TRANSACTION);
    EXPECT_EQ(reply.dataSize(), 0u);
    EXPECT_EQ(object->callBinder(1, data, nullptr, IBinder::FLAG_ONEWAY), OK);
    EXPECT_FALSE(object->isRemote());
}

TEST(LocalBinderTest, RefusesDataOverTheTransactionLimit) {
    sp<NamedObject> object(new NamedObject(String16("x")));
    Parcel big;
    std::vector<uint8_t> bytes(MAX_TRANSACTION_SIZE + 4);
    big.setData(bytes.data(), bytes.size());
    Parcel reply;
    EXPECT_EQ(object->callBinder(1, big, &reply), TOO_LARGE);
    EXPECT_EQ(object->calls, 0);
}

TEST(LocalBinderTest, LocalObjectReadBackInItsOwnProcessIsItself) {
    sp<NamedObject> object(new NamedObject(String16("velmora.test.INamed")));
    Parcel p;
    ASSERT_EQ(p.writeStrongBinder(object), OK);
    EXPECT_GT(p.dataSize(), 4u);
    sp<IBinder> back = p.readStrongBinder();
    EXPECT_TRUE(back == object);
    // A proxy for a process that does not exist fails its calls as dead.
    Parcel forged;
    forged.writeUint32(1);
    forged.writeUint32(1);
    forged.writeString16(String16("@velmora-test-nobody-here"));
    sp<IBinder> ghost = forged.readStrongBinder();
    ASSERT_TRUE(ghost);
    EXPECT_TRUE(ghost->isRemote());
    Parcel data, reply;
    EXPECT_EQ(ghost->callBinder(1, data, &reply), DEAD_OBJECT);
}

}  // namespace
