// file-version.exe <file>: prints what Windows reads from a program's version resource,
// through GetFileVersionInfoA as Explorer's Properties page does:
//   fixed 1.2.3.4
//   FileVersion <text>
//   ProductVersion <text>
//   OriginalFilename <text>
// Exit code 1 when the file has no version resource or a value is missing.
#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

bool PrintString(const std::vector<char>& block, const char* name) {
  char path[128];
  std::snprintf(path, sizeof path, "\\StringFileInfo\\040904B0\\%s", name);
  void* text = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), path, &text, &length) || length == 0) {
    std::fprintf(stderr, "file-version: no %s\n", name);
    return false;
  }
  std::printf("%s %s\n", name, static_cast<const char*>(text));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: file-version.exe <file>\n");
    return 2;
  }
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(argv[1], &ignored);
  if (size == 0) {
    std::fprintf(stderr, "file-version: %s has no version resource (error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  std::vector<char> block(size);
  if (!GetFileVersionInfoA(argv[1], 0, size, block.data())) {
    std::fprintf(stderr, "file-version: %s: error %lu\n", argv[1], GetLastError());
    return 1;
  }
  void* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), "\\", &fixed, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
    std::fprintf(stderr, "file-version: %s has no fixed version\n", argv[1]);
    return 1;
  }
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
  std::printf("fixed %u.%u.%u.%u\n", static_cast<unsigned>(HIWORD(info->dwFileVersionMS)),
              static_cast<unsigned>(LOWORD(info->dwFileVersionMS)), static_cast<unsigned>(HIWORD(info->dwFileVersionLS)),
              static_cast<unsigned>(LOWORD(info->dwFileVersionLS)));
  bool ok = true;
  for (const char* name : {"FileVersion", "ProductVersion", "OriginalFilename"}) ok = PrintString(block, name) && ok;
  return ok ? 0 : 1;
}
