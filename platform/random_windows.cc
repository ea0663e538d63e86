#include <windows.h>

#include <ntsecapi.h>  // RtlGenRandom, exported by advapi32 as SystemFunction036

#include "platform/wide_windows.h"  // first: it undefines clashing macros
#include "platform/error.h"
#include "platform/random.h"

namespace quilvane::platform {

void RandomBytes(std::span<std::uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    const size_t left = out.size() - done;
    const ULONG chunk = left > (1u << 30) ? (1u << 30) : static_cast<ULONG>(left);
    if (!RtlGenRandom(out.data() + done, chunk)) {
      throw MakeSystemError("RtlGenRandom", static_cast<int>(GetLastError()));
    }
    done += chunk;
  }
}

}  // namespace quilvane::platform
