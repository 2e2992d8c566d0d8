// Binder objects: IBinder is the callable interface; LocalBinder is the base
// class of objects hosted in this process; references to objects hosted in
// other processes are proxies that forward each call to the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include <velmora/Errors.h>
#include <velmora/RefBase.h>
#include <velmora/String16.h>

namespace velmora {

class Parcel;
class LocalBinder;

// Largest data or reply parcel a transaction may carry, in bytes.
inline constexpr size_t MAX_TRANSACTION_SIZE = 1024 * 1024;

class IBinder : public RefBase {
public:
    // '_','N','T','F': every object answers it with its interface name as
    // the first value of the reply.
    static constexpr uint32_t INTERFACE_TRANSACTION = 0x5F4E5446;
    // Codes 0x00000001 to 0x00FFFFFF are free for services.
    static constexpr uint32_t FIRST_CALL_TRANSACTION = 0x00000001;
    static constexpr uint32_t LAST_CALL_TRANSACTION = 0x00FFFFFF;

    // Flags for callBinder.
    static constexpr uint32_t FLAG_ONEWAY = 0x01;  // do not wait for a reply

    // Sends one transaction and waits for the reply. reply (may be null) is
    // emptied first and then holds what the object wrote into it; its read
    // position is 0. Returns the object's status, or a transport failure:
    // DEAD_OBJECT (host gone, also mid-call), TOO_LARGE (data or reply over
    // MAX_TRANSACTION_SIZE), BAD_PARCEL (malformed answer).
    virtual status_t callBinder(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0) = 0;

    // The object itself when it lives in this process, otherwise null.
    virtual LocalBinder* localBinder() { return nullptr; }
    bool isRemote() { return localBinder() == nullptr; }
};

class LocalBinder : public IBinder {
public:
    explicit LocalBinder(String16 interfaceName) : interfaceName_(std::move(interfaceName)) {}

    const String16& interfaceName() const { return interfaceName_; }

    // Calls onTransact directly, with the same size limit as a remote call.
    status_t callBinder(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0) override;
    LocalBinder* localBinder() override { return this; }

protected:
    // Services override this and call it for codes they do not handle.
    // Answers INTERFACE_TRANSACTION with the interface name and everything
    // else with UNKNOWN_TRANSACTION. May be called from several threads at
    // once; data's read position is 0.
    virtual status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags);

private:
    String16 interfaceName_;
};

}  // namespace velmora
