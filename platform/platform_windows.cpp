// The Windows side of the platform layer: the system and runtime calls the
// plug-in makes on its home platform.
//
// wchar_t is a UTF-16 unit here, so host text and paths go to the wide calls
// as they are (reinterpreted, never copied).
#define _CRT_RAND_S  // rand_s: the system's random source, through the runtime
#include <windows.h>

#include "platform/platform.h"
// After windows.h, which they build on.
#include <aclapi.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <memory>

namespace {

const wchar_t* wide(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}

constexpr char16_t kEmpty[] = u"";

// WideCharToMultiByte of the whole text with its terminator into dst, all or
// nothing: it is measured first, since a conversion that does not fit may
// still have written part of the buffer.
int32_t convert_bounded(UINT code_page, const char16_t* source, char* dst, int32_t dst_size) {
  if (dst == nullptr || dst_size <= 0) return 0;
  if (source == nullptr) source = kEmpty;
  int needed = WideCharToMultiByte(code_page, 0, wide(source), -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 0 || needed > dst_size) return 0;
  return WideCharToMultiByte(code_page, 0, wide(source), -1, dst, needed, nullptr, nullptr);
}

std::string convert_to_string(UINT code_page, const char16_t* source) {
  if (source == nullptr) return {};
  int needed = WideCharToMultiByte(code_page, 0, wide(source), -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 1) return {};
  std::string out(static_cast<size_t>(needed), '\0');
  WideCharToMultiByte(code_page, 0, wide(source), -1, out.data(), needed, nullptr, nullptr);
  out.pop_back();  // the terminator
  return out;
}

// LoadLibraryW wants backslashes; callers build paths with '/' as well.
std::wstring with_backslashes(const char16_t* path) {
  std::wstring out(wide(path));
  for (wchar_t& c : out) {
    if (c == L'/') c = L'\\';
  }
  return out;
}

struct HandleCloser {
  void operator()(HANDLE h) const { CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// The owners a library in the temporary folder may have: the current user,
// the administrators or the system.
bool owner_is_trusted(PSID owner) {
  if (owner == nullptr || !IsValidSid(owner)) return false;
  if (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
      IsWellKnownSid(owner, WinLocalSystemSid))
    return true;
  HANDLE raw_token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw_token)) return false;
  UniqueHandle token(raw_token);
  DWORD size = 0;
  GetTokenInformation(raw_token, TokenUser, nullptr, 0, &size);
  if (size == 0) return false;
  auto buffer = std::make_unique<unsigned char[]>(size);
  if (!GetTokenInformation(raw_token, TokenUser, buffer.get(), size, &size)) return false;
  return EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid) != 0;
}

// Opens path when it names a trusted library file; null otherwise. The handle
// shares reading only: while it is open nobody can write, rename or delete
// the file, so what was checked is what gets loaded.
UniqueHandle open_trusted(const char16_t* path) {
  if (path == nullptr) return nullptr;
  // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, not what it points to.
  HANDLE raw =
      CreateFileW(with_backslashes(path).c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (raw == INVALID_HANDLE_VALUE) return nullptr;
  UniqueHandle file(raw);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(raw, &info)) return nullptr;
  constexpr DWORD kNotPlain =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  if ((info.dwFileAttributes & kNotPlain) != 0) return nullptr;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(raw, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return nullptr;
  }
  bool trusted = owner_is_trusted(owner);
  LocalFree(descriptor);
  return trusted ? std::move(file) : nullptr;
}

}  // namespace

FILE* platform_open_write(const char16_t* file_name) {
  if (file_name == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  return _wfopen(wide(file_name), L"wb");
}

// The runtime's stream writes a piece that is larger than its buffer straight
// from where it lies, so one fwrite per piece copies no more than a gathered
// write would.
int platform_write_spans(FILE* file, const WriteSpan* spans, size_t count) {
  if (file == nullptr) return EBADF;
  for (size_t i = 0; i < count; ++i) {
    if (spans[i].size == 0) continue;
    errno = 0;
    if (std::fwrite(spans[i].data, 1, spans[i].size, file) != spans[i].size || std::ferror(file))
      return errno != 0 ? errno : EIO;
  }
  return 0;
}

int platform_write_at(FILE* file, const uint8_t* data, size_t n, int64_t pos) {
  if (file == nullptr) return EBADF;
  int failure = 0;
  errno = 0;
  if (_fseeki64(file, pos, SEEK_SET) != 0) {
    failure = errno != 0 ? errno : EIO;
  } else {
    errno = 0;
    if (std::fwrite(data, 1, n, file) != n || std::ferror(file)) failure = errno != 0 ? errno : EIO;
  }
  errno = 0;
  if (_fseeki64(file, 0, SEEK_END) != 0 && failure == 0) failure = errno != 0 ? errno : EIO;
  return failure;
}

bool platform_can_cut_back(FILE* file) {
  if (file == nullptr) return false;
  auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK;
}

int platform_cut_back(FILE* file, int64_t length) {
  if (file == nullptr) return EBADF;
  errno = 0;
  if (std::fflush(file) != 0) return errno != 0 ? errno : EIO;
  if (errno_t failure = _chsize_s(_fileno(file), length); failure != 0) return failure;
  errno = 0;
  if (_fseeki64(file, length, SEEK_SET) != 0) return errno != 0 ? errno : EIO;
  return 0;
}

int platform_seek(FILE* file, int64_t offset, int whence) {
  return _fseeki64(file, offset, whence) == 0 ? 0 : -1;
}

int64_t platform_tell(FILE* file) {
  return _ftelli64(file);
}

int platform_check_written(FILE* file, int64_t written) {
  if (file == nullptr) return EBADF;
  auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (handle == INVALID_HANDLE_VALUE) return EBADF;
  if (GetFileType(handle) != FILE_TYPE_DISK) return 0;  // devices and pipes have no size
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return EIO;
  if (info.nNumberOfLinks == 0) return ENOENT;
  const int64_t size = (int64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  return size < written ? EIO : 0;
}

int platform_sync(FILE* file) {
  if (file == nullptr) return EBADF;
  errno = 0;
  if (std::fflush(file) != 0) return errno != 0 ? errno : EIO;
  auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (handle == INVALID_HANDLE_VALUE) return 0;
  if (GetFileType(handle) != FILE_TYPE_DISK) return 0;  // devices and pipes keep nothing
  return FlushFileBuffers(handle) ? 0 : EIO;
}

int32_t wide_to_multibyte(const char16_t* source, char* dst, int32_t dst_size) {
  return convert_bounded(CP_UTF8, source, dst, dst_size);
}

std::string wide_to_string(const char16_t* source) {
  return convert_to_string(CP_UTF8, source);
}

// Code page 0: the process's ANSI code page.
int32_t wide_to_ansi(const char16_t* source, char* dst, int32_t dst_size) {
  return convert_bounded(CP_ACP, source, dst, dst_size);
}

std::string wide_to_ansi_string(const char16_t* source) {
  return convert_to_string(CP_ACP, source);
}

std::u16string platform_temp_directory() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
}

std::u16string platform_temp_file_path(const char16_t* name, size_t limit) {
  if (name == nullptr) return {};
  wchar_t buffer[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH) return {};
  // Checked first: lstrcatW has no bound of its own.
  const size_t room = limit < MAX_PATH + 1 ? limit : MAX_PATH + 1;
  if (length + wcslen(wide(name)) + 1 > room) return {};
  lstrcatW(buffer, wide(name));
  return std::u16string(reinterpret_cast<const char16_t*>(buffer));
}

void* platform_load_library(const char16_t* path) {
  if (path == nullptr) return nullptr;
  return reinterpret_cast<void*>(LoadLibraryW(with_backslashes(path).c_str()));
}

void* platform_find_symbol(void* library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void platform_free_library(void* library) {
  if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

void* platform_load_private_library(const char16_t* path) {
  UniqueHandle checked = open_trusted(path);
  if (checked == nullptr) return nullptr;
  return platform_load_library(path);
}

bool platform_library_is_trusted(const char16_t* path) {
  return open_trusted(path) != nullptr;
}

std::u16string platform_module_directory(const void* code_address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(code_address), &module)) {
    return {};
  }
  std::wstring file(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(module, file.data(), static_cast<DWORD>(file.size()));
    if (length == 0) return {};
    if (length < file.size()) {
      file.resize(length);
      break;
    }
    file.resize(file.size() * 2);  // cut: try a larger buffer
  }
  size_t separator = file.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return u".";
  file.resize(separator);
  return std::u16string(reinterpret_cast<const char16_t*>(file.c_str()), file.size());
}

FILE* platform_open_append(const char* file_name) {
  if (file_name == nullptr) return nullptr;
  std::u16string name = multibyte_to_wide(file_name);
  return _wfopen(wide(name.c_str()), L"ab");
}

int64_t platform_time() {
  return _time64(nullptr);
}

int platform_rand() {
  return std::rand();
}

uint32_t platform_random32() {
  unsigned int value = 0;
  rand_s(&value);
  return value;
}
