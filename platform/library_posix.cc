#include <dlfcn.h>
#include <elf.h>
#include <langinfo.h>
#include <link.h>

#include <clocale>
#include <strings.h>

#include <cstring>
#include <utility>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/library.h"

namespace quilvane::platform {
namespace {

std::string MachineName(unsigned machine, bool is64) {
  switch (machine) {
    case EM_X86_64:
      return "x64";
    case EM_386:
      return "x86";
    case EM_AARCH64:
      return "arm64";
    case EM_ARM:
      return "arm";
    case EM_PPC64:
      return "ppc64";
    case EM_RISCV:
      return is64 ? "riscv64" : "riscv32";
    default:
      return "machine " + std::to_string(machine) + (is64 ? " (64-bit)" : " (32-bit)");
  }
}

// dlerror() names the file it found before the reason ("/usr/lib/x.so: wrong
// ELF class: ELFCLASS32"); a file that was not found is named as given.
std::string PathInLoaderMessage(const std::string& message) {
  const size_t colon = message.find(": ");
  if (colon == std::string::npos) return {};
  return message.substr(0, colon);
}

}  // namespace

DynamicLibrary::~DynamicLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

std::string DynamicLibrary::FilePath() const {
  if (handle_ == nullptr) return {};
  link_map* map = nullptr;
  if (dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) {
    return {};
  }
  return map->l_name;
}

DynamicLibrary DynamicLibrary::Load(const std::string& name, LibraryLoadFailure* failure) {
  DynamicLibrary lib;
  dlerror();
  // Never unmapped once loaded: a client library keeps threads, thread-local
  // storage and exit handlers that must not outlive its code.
  lib.handle_ = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (lib.handle_ == nullptr && failure != nullptr) {
    const char* text = dlerror();
    failure->message = text != nullptr ? text : "unknown error";
    failure->foreign_architecture.clear();
    const std::string path = PathInLoaderMessage(failure->message);
    if (!path.empty() && FileExists(path)) {
      const std::string arch = LibraryFileArchitecture(path);
      if (!arch.empty() && arch != ProcessArchitecture()) failure->foreign_architecture = arch;
    }
  }
  return lib;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return dlsym(handle_, name);
}

bool EnsureUtf8CharacterType() {
  auto is_utf8 = [] {
    const char* codeset = nl_langinfo(CODESET);
    return codeset != nullptr &&
           (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "utf8") == 0);
  };
  if (is_utf8()) return true;
  const std::string previous = setlocale(LC_CTYPE, nullptr);
  for (const char* name : {"", "C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
    if (setlocale(LC_CTYPE, name) != nullptr && is_utf8()) return true;
  }
  setlocale(LC_CTYPE, previous.c_str());
  return false;
}

std::string ProcessArchitecture() {
#if defined(__x86_64__)
  return "x64";
#elif defined(__i386__)
  return "x86";
#elif defined(__aarch64__)
  return "arm64";
#elif defined(__arm__)
  return "arm";
#else
  return sizeof(void*) == 8 ? "64-bit" : "32-bit";
#endif
}

std::string LibraryFileArchitecture(const std::string& path) {
  std::uint8_t header[20] = {};
  try {
    File f(path, File::Mode::kRead);
    size_t got = 0;
    while (got < sizeof header) {
      const size_t n = f.Read(std::span<std::uint8_t>(header + got, sizeof header - got));
      if (n == 0) break;
      got += n;
    }
    if (got < sizeof header) return {};
  } catch (const Error&) {
    return {};
  }
  if (std::memcmp(header, ELFMAG, SELFMAG) != 0) return {};
  const bool is64 = header[EI_CLASS] == ELFCLASS64;
  if (!is64 && header[EI_CLASS] != ELFCLASS32) return {};
  // e_machine follows e_ident (16 bytes) and e_type (2 bytes).
  const unsigned machine = header[EI_DATA] == ELFDATA2MSB
                               ? (unsigned{header[18]} << 8) | header[19]
                               : (unsigned{header[19]} << 8) | header[18];
  return MachineName(machine, is64);
}

}  // namespace quilvane::platform
