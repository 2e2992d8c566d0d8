// Status codes returned by the IPC library. 0 is success; failures are
// negative and, where one fits, equal to a negated errno value.
#pragma once

#include <cerrno>
#include <cstdint>

namespace velmora {

using status_t = int32_t;

enum : status_t {
    OK = 0,
    UNKNOWN_ERROR = INT32_MIN,       // a failure with no better code
    NO_MEMORY = -ENOMEM,             // -12
    INVALID_OPERATION = -ENOSYS,     // -38: the object does not support it
    BAD_VALUE = -EINVAL,             // -22: an argument is out of range
    NAME_NOT_FOUND = -ENOENT,        // -2
    PERMISSION_DENIED = -EPERM,      // -1: e.g. wrong interface token
    ALREADY_EXISTS = -EEXIST,        // -17: name already registered
    DEAD_OBJECT = -EPIPE,            // -32: the hosting process is gone
    NOT_ENOUGH_DATA = -ENODATA,      // -61: read past the end of a parcel
    BAD_PARCEL = -EBADMSG,           // -74: malformed parcel or message
    UNKNOWN_TRANSACTION = -EBADRQC,  // -56: code not handled by the object
    TOO_LARGE = -EFBIG,              // -27: parcel over the transaction limit
    TIMED_OUT = -ETIMEDOUT,          // -110: no answer in time
};

// Short English name of a status ("OK", "DEAD_OBJECT", ...), or "UNKNOWN".
const char* statusToString(status_t status);

}  // namespace velmora
