#include <velmora/IBinder.h>
#include <velmora/Parcel.h>
#include <velmora/String8.h>
#include <velmora/TextOutput.h>

#include <cstdio>
#include <cstring>

#include "Transport.h"

namespace velmora {

namespace {

constexpr size_t pad4(size_t len) { return (len + 3) & ~size_t{3}; }

// Binder reference kinds on the wire.
constexpr uint32_t BINDER_NULL = 0;
constexpr uint32_t BINDER_OBJECT = 1;

// Restores the read position unless the read it guards succeeds.
class PositionGuard {
public:
    PositionGuard(const Parcel& parcel) : parcel_(parcel), pos_(parcel.dataPosition()) {}
    ~PositionGuard() {
        if (!done_) parcel_.setDataPosition(pos_);
    }
    status_t keep(status_t status) {
        done_ = status == OK;
        return status;
    }

private:
    const Parcel& parcel_;
    size_t pos_;
    bool done_ = false;
};

}  // namespace

void Parcel::setDataPosition(size_t pos) const { pos_ = pos < data_.size() ? pos : data_.size(); }

void Parcel::setData(const uint8_t* bytes, size_t len) {
    data_.assign(bytes, bytes + len);
    pos_ = 0;
}

status_t Parcel::appendFrom(const Parcel& other, size_t offset, size_t len) {
    if (offset > other.data_.size() || len > other.data_.size() - offset) return BAD_VALUE;
    const auto first = other.data_.begin() + static_cast<ptrdiff_t>(offset);
    data_.insert(data_.end(), first, first + static_cast<ptrdiff_t>(len));
    return OK;
}

void Parcel::freeData() {
    data_.clear();
    data_.shrink_to_fit();
    pos_ = 0;
}

uint8_t* Parcel::writeInPlace(size_t len) {
    const size_t at = data_.size();
    data_.resize(at + pad4(len), 0);
    return data_.data() + at;
}

const uint8_t* Parcel::readInPlace(size_t len) const {
    const size_t padded = pad4(len);
    if (padded < len || padded > data_.size() - pos_) return nullptr;
    const uint8_t* at = data_.data() + pos_;
    pos_ += padded;
    return at;
}

status_t Parcel::readBytes(void* out, size_t len) const {
    const uint8_t* at = readInPlace(len);
    if (!at) return NOT_ENOUGH_DATA;
    std::memcpy(out, at, len);
    return OK;
}

status_t Parcel::writeInterfaceToken(const String16& interfaceName) { return writeString16(interfaceName); }

bool Parcel::enforceInterface(const String16& interfaceName) const {
    const uint8_t* units = nullptr;
    size_t len = 0;
    bool isNull = false;
    return readString16InPlace(&units, &len, &isNull) == OK && !isNull && len == interfaceName.size() &&
           std::memcmp(units, interfaceName.c_str(), len * sizeof(char16_t)) == 0;
}

status_t Parcel::writeInt32(int32_t value) {
    std::memcpy(writeInPlace(sizeof value), &value, sizeof value);
    return OK;
}

status_t Parcel::writeUint32(uint32_t value) {
    std::memcpy(writeInPlace(sizeof value), &value, sizeof value);
    return OK;
}

status_t Parcel::writeString16(const String16& text) {
    if (text.size() > MAX_TRANSACTION_SIZE) return TOO_LARGE;
    writeInt32(static_cast<int32_t>(text.size()));
    const size_t bytes = (text.size() + 1) * sizeof(char16_t);
    std::memcpy(writeInPlace(bytes), text.c_str(), bytes);  // with the terminator
    return OK;
}

status_t Parcel::writeNullString16() { return writeInt32(-1); }

status_t Parcel::writeStrongBinder(const sp<IBinder>& binder) {
    if (!binder) return writeUint32(BINDER_NULL);
    std::string endpoint;
    uint32_t handle = 0;
    if (LocalBinder* local = binder->localBinder()) {
        const status_t status = ipc::Transport::self().exportObject(sp<LocalBinder>(local), &endpoint, &handle);
        if (status != OK) return status;
    } else if (auto* remote = dynamic_cast<ipc::RemoteBinder*>(binder.get())) {
        endpoint = remote->endpoint();
        handle = remote->handle();
    } else {
        return INVALID_OPERATION;  // neither hosted here nor a proxy: nowhere to call it
    }
    writeUint32(BINDER_OBJECT);
    writeUint32(handle);
    return writeString16(String16(endpoint.data(), endpoint.size()));
}

status_t Parcel::readInt32(int32_t* out) const { return readBytes(out, sizeof *out); }

status_t Parcel::readUint32(uint32_t* out) const { return readBytes(out, sizeof *out); }

status_t Parcel::readString16InPlace(const uint8_t** units, size_t* len, bool* isNull) const {
    PositionGuard guard(*this);
    *isNull = false;
    int32_t length = 0;
    if (readInt32(&length) != OK) return guard.keep(NOT_ENOUGH_DATA);
    if (length == -1) {
        *isNull = true;
        *len = 0;
        return guard.keep(OK);
    }
    if (length < 0) return guard.keep(BAD_PARCEL);
    const size_t count = static_cast<size_t>(length);
    if (count >= dataAvail() / sizeof(char16_t)) return guard.keep(NOT_ENOUGH_DATA);
    const uint8_t* at = readInPlace((count + 1) * sizeof(char16_t));
    if (!at) return guard.keep(NOT_ENOUGH_DATA);
    char16_t terminator;
    std::memcpy(&terminator, at + count * sizeof(char16_t), sizeof terminator);
    if (terminator != u'\0') return guard.keep(BAD_PARCEL);  // lost its terminator
    *units = at;
    *len = count;
    return guard.keep(OK);
}

status_t Parcel::readString16(String16* out, bool* isNull) const {
    *out = String16();
    bool null = false;
    const uint8_t* units = nullptr;
    size_t len = 0;
    const status_t status = readString16InPlace(&units, &len, &null);
    if (isNull) *isNull = null;
    if (status != OK || null) return status;
    std::u16string text(len, u'\0');
    std::memcpy(text.data(), units, len * sizeof(char16_t));
    *out = String16(std::move(text));
    return OK;
}

status_t Parcel::readNullableString16(std::optional<String16>* out) const {
    String16 text;
    bool isNull = false;
    const status_t status = readString16(&text, &isNull);
    if (status != OK) return status;
    *out = isNull ? std::nullopt : std::optional<String16>(std::move(text));
    return OK;
}

status_t Parcel::readStrongBinder(sp<IBinder>* out) const {
    PositionGuard guard(*this);
    out->clear();
    uint32_t kind = 0;
    if (readUint32(&kind) != OK) return guard.keep(NOT_ENOUGH_DATA);
    if (kind == BINDER_NULL) return guard.keep(OK);
    if (kind != BINDER_OBJECT) return guard.keep(BAD_PARCEL);
    uint32_t handle = 0;
    if (readUint32(&handle) != OK) return guard.keep(NOT_ENOUGH_DATA);
    const uint8_t* units = nullptr;
    size_t len = 0;
    bool isNull = false;
    const status_t status = readString16InPlace(&units, &len, &isNull);
    if (status != OK) return guard.keep(status);
    // Endpoints are ASCII in practice: take the units as they are, and go
    // through UTF-8 only for anything else.
    std::string name;
    name.reserve(len);
    for (size_t i = 0; i < len; ++i) {
        char16_t unit;
        std::memcpy(&unit, units + i * sizeof unit, sizeof unit);
        if (unit == 0 || unit > 0x7F) {
            std::u16string text(len, u'\0');
            std::memcpy(text.data(), units, len * sizeof(char16_t));
            name = String8(String16(std::move(text))).view();
            break;
        }
        name.push_back(static_cast<char>(unit));
    }
    if (isNull || name.empty() || name.size() >= 100 || std::strlen(name.c_str()) != name.size())
        return guard.keep(BAD_PARCEL);
    *out = ipc::Transport::self().resolve(std::move(name), handle);
    return guard.keep(OK);
}

int32_t Parcel::readInt32() const {
    int32_t value = 0;
    return readInt32(&value) == OK ? value : 0;
}

String16 Parcel::readString16() const {
    String16 text;
    readString16(&text);
    return text;
}

sp<IBinder> Parcel::readStrongBinder() const {
    sp<IBinder> binder;
    readStrongBinder(&binder);
    return binder;
}

void Parcel::print(TextOutput& out, uint32_t /*flags*/) const {
    std::string text = "Parcel(size=" + std::to_string(data_.size());
    if (!data_.empty()) {
        text += ':';
        char hex[16];
        size_t i = 0;
        for (; i + 4 <= data_.size(); i += 4) {
            uint32_t word;
            std::memcpy(&word, data_.data() + i, sizeof word);
            std::snprintf(hex, sizeof hex, " %08x", word);
            text += hex;
        }
        if (i < data_.size()) {
            text += ' ';
            for (; i < data_.size(); ++i) {
                std::snprintf(hex, sizeof hex, "%02x", data_[i]);
                text += hex;
            }
        }
        text += " '";
        for (const uint8_t byte : data_) text += (byte >= 0x20 && byte <= 0x7E) ? static_cast<char>(byte) : '.';
        text += '\'';
    }
    text += ')';
    out << text;
}

}  // namespace velmora
