// Transaction codes of the service manager's context object.
#pragma once

#include <cstdint>

namespace velmora::ipc {

// data: token, name (String16). reply: the binder, null when unknown.
inline constexpr uint32_t SM_LOOK_UP = 1;
// data: token, index of the first name (int32). reply: count (int32), that
// many names (String16), then 1 when more names follow or 0 (int32).
inline constexpr uint32_t SM_LIST = 2;
// data: token, name (String16), binder. reply: empty; the status says it.
inline constexpr uint32_t SM_ADD = 3;

}  // namespace velmora::ipc
