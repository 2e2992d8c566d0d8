// Transaction codes of the service manager's context object, and the
// bounds that the daemon keeps and its clients rely on.
#pragma once

#include <cstddef>
#include <cstdint>

#include <velmora/IBinder.h>

namespace velmora::ipc {

// data: token, name (String16). reply: the binder, null when unknown.
inline constexpr uint32_t SM_LOOK_UP = 1;
// data: token, index of the first name (int32). reply: count (int32), that
// many names (String16), then 1 when more names follow or 0 (int32).
inline constexpr uint32_t SM_LIST = 2;
// data: token, name (String16), binder. reply: empty; the status says it.
inline constexpr uint32_t SM_ADD = 3;

// Longest service name, in UTF-16 code units.
inline constexpr size_t MAX_NAME_LENGTH = 255;
// Most names the registry holds at once.
inline constexpr size_t MAX_SERVICES = 65536;
// Names per SM_LIST reply.
inline constexpr size_t LIST_PAGE = 256;

// A page of the longest names fits in one reply, so every registry the
// daemon accepts lists completely.
static_assert(4 + LIST_PAGE * (4 + (MAX_NAME_LENGTH + 2) * 2) + 4 <= MAX_TRANSACTION_SIZE);

}  // namespace velmora::ipc
