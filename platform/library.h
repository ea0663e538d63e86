#pragma once

#include <string>

namespace quilvane::platform {

// Why a shared library did not load.
struct LibraryLoadFailure {
  // The system's text for the failure.
  std::string message;
  // When a file of that name was found but is built for another processor:
  // its architecture ("x86", "x64", "arm64", ...); empty otherwise.
  std::string foreign_architecture;
};

// A shared library loaded at run time by name (the platform's usual library
// search) and the lookup of its exported functions. Move-only; the library
// is unloaded when the object goes away.
class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Loads `name`. On failure returns an unloaded object and fills `failure`.
  static DynamicLibrary Load(const std::string& name, LibraryLoadFailure* failure);

  bool loaded() const { return handle_ != nullptr; }
  // The address of an exported symbol, or nullptr when there is none.
  void* Symbol(const char* name) const;
  // The file the system loaded for this library (the search may pick one of
  // several of that name); empty when not loaded or the system cannot say.
  std::string FilePath() const;
  // Forgets the library without unloading it: it stays loaded until the
  // process ends (a library with threads of its own cannot be unloaded
  // safely).
  void KeepLoaded() { handle_ = nullptr; }

 private:
  void* handle_ = nullptr;
};

// Makes the C library's character type (LC_CTYPE) UTF-8 when it is not:
// libraries loaded at run time that convert text through the process's
// locale (the Firebird client converting UTF-8 file names to the system's)
// fail on any non-ASCII character under the default "C" locale. Tries the
// environment's locale, then C.UTF-8. Returns whether LC_CTYPE is UTF-8
// afterwards. Call on the main thread, before such a library runs.
bool EnsureUtf8CharacterType();

// The processor architecture this process is built for, in the names the
// operator sees: "x64", "x86", "arm64", "arm", ...
std::string ProcessArchitecture();

// The architecture of the shared library file at `path`, in the same names;
// empty when the file cannot be read or is no library of a known format.
std::string LibraryFileArchitecture(const std::string& path);

}  // namespace quilvane::platform
