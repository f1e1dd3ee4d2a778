#include "support/library.h"

#ifdef _WIN32
#include <windows.h>

#include "support/test_files.h"

void* open_library(const std::string& path) {
  std::u16string wide = u16(path);
  return reinterpret_cast<void*>(LoadLibraryW(reinterpret_cast<const wchar_t*>(wide.c_str())));
}

void* library_symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void close_library(void* library) {
  FreeLibrary(static_cast<HMODULE>(library));
}

std::string library_error() {
  return "Windows error " + std::to_string(GetLastError());
}

const void* module_base_of(const void* address) {
  HMODULE module = nullptr;
  // A module handle is its base address.
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(address), &module)) {
    return nullptr;
  }
  return module;
}

std::string library_file(const std::string& base) {
  return base + ".dll";
}
#else
#include <dlfcn.h>

void* open_library(const std::string& path) {
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* library_symbol(void* library, const char* name) {
  return dlsym(library, name);
}

void close_library(void* library) {
  dlclose(library);
}

std::string library_error() {
  const char* why = dlerror();
  return why ? why : "unknown reason";
}

const void* module_base_of(const void* address) {
  Dl_info info{};
  return dladdr(address, &info) != 0 ? info.dli_fbase : nullptr;
}

std::string library_file(const std::string& base) {
  return base == "XQ_Log" ? "lib" + base + ".so" : base + ".so";
}
#endif
