// A Parcel is the flat byte container of one transaction's data or reply.
// Values are appended at the end and read back in order from a read
// position. Every read is bounds-checked: reading past the end or reading
// malformed contents returns an error status (or an empty value from the
// convenience forms) and never touches memory outside the parcel.
// The byte layout is described in docs/ipc.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <velmora/Errors.h>
#include <velmora/IBinder.h>  // sp<IBinder> arguments need the complete type
#include <velmora/RefBase.h>
#include <velmora/String16.h>

namespace velmora {

class TextOutput;

class Parcel {
public:
    Parcel() = default;

    const uint8_t* data() const { return data_.data(); }
    size_t dataSize() const { return data_.size(); }
    size_t dataPosition() const { return pos_; }
    size_t dataAvail() const { return data_.size() - pos_; }
    // Positions past the end are clamped to the end.
    void setDataPosition(size_t pos) const;
    // Replaces the contents with a copy of the bytes; read position 0.
    void setData(const uint8_t* bytes, size_t len);
    // Appends len bytes of other starting at offset, as they stand.
    status_t appendFrom(const Parcel& other, size_t offset, size_t len);
    void freeData();

    // The interface token: the interface name as the parcel's first value.
    status_t writeInterfaceToken(const String16& interfaceName);
    // Reads a token and compares it with the expected name.
    bool enforceInterface(const String16& interfaceName) const;

    status_t writeInt32(int32_t value);
    status_t writeUint32(uint32_t value);
    status_t writeString16(const String16& text);
    // A null string: distinct from an empty one.
    status_t writeNullString16();
    // A null reference, a local object (which becomes callable from other
    // processes) or a proxy (which is passed on to its host).
    status_t writeStrongBinder(const sp<IBinder>& binder);

    status_t readInt32(int32_t* out) const;
    status_t readUint32(uint32_t* out) const;
    // A null string reads as OK with an empty *out and *isNull set.
    status_t readString16(String16* out, bool* isNull = nullptr) const;
    status_t readNullableString16(std::optional<String16>* out) const;
    status_t readStrongBinder(sp<IBinder>* out) const;

    // Convenience forms: 0, an empty string or null on any error.
    int32_t readInt32() const;
    String16 readString16() const;
    sp<IBinder> readStrongBinder() const;

    // Writes a one-line rendering of the contents, without a line end:
    //   Parcel(size=N)                       when empty (N is 0)
    //   Parcel(size=N: WORD WORD ... 'CHARS')
    // See docs/ipc.md for the exact format. flags is reserved, pass 0.
    void print(TextOutput& out, uint32_t flags = 0) const;

private:
    status_t readBytes(void* out, size_t len) const;
    // A String16 checked and left where it lies: *units points at *len code
    // units in the parcel (not aligned for char16_t access; copy them out).
    status_t readString16InPlace(const uint8_t** units, size_t* len, bool* isNull) const;
    const uint8_t* readInPlace(size_t len) const;
    uint8_t* writeInPlace(size_t len);

    std::vector<uint8_t> data_;
    mutable size_t pos_ = 0;
};

}  // namespace velmora
