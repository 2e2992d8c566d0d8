#include <velmora/IBinder.h>
#include <velmora/Parcel.h>

namespace velmora {

status_t LocalBinder::callBinder(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    Parcel scratch;  // a one-way caller asks for no reply, but the object may write one
    Parcel* out = reply ? reply : &scratch;
    out->freeData();
    if (data.dataSize() > MAX_TRANSACTION_SIZE) return TOO_LARGE;
    const size_t position = data.dataPosition();
    data.setDataPosition(0);
    const status_t status = onTransact(code, data, out, flags);
    data.setDataPosition(position);
    out->setDataPosition(0);
    return status;
}

status_t LocalBinder::onTransact(uint32_t code, const Parcel& /*data*/, Parcel* reply, uint32_t /*flags*/) {
    if (code == INTERFACE_TRANSACTION) return reply->writeString16(interfaceName_);
    return UNKNOWN_TRANSACTION;
}

}  // namespace velmora
