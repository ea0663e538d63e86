#include <windows.h>

#include <bcrypt.h>

#include "platform/wide_windows.h"  // first: it undefines clashing macros
#include "platform/error.h"
#include "platform/random.h"

namespace quilvane::platform {

void RandomBytes(std::span<std::uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    const size_t left = out.size() - done;
    const ULONG chunk = left > (1u << 30) ? (1u << 30) : static_cast<ULONG>(left);
    const NTSTATUS status =
        BCryptGenRandom(nullptr, out.data() + done, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) {
      throw SystemError("BCryptGenRandom: NTSTATUS " + std::to_string(static_cast<long>(status)),
                        static_cast<int>(status));
    }
    done += chunk;
  }
}

}  // namespace quilvane::platform
