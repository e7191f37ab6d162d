// clipboard-text.exe: the test's own view of the real clipboard.
//   clipboard-text.exe clear          empties the clipboard
//   clipboard-text.exe read <file>    writes the CF_TEXT bytes (without the final
//                                     NUL) to the file
// Exit codes: 0 done, 1 no text on the clipboard, 2 clipboard not opened, 3 usage
// or file error.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

bool OpenWithRetries() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (::OpenClipboard(nullptr)) return true;
    ::Sleep(100);
  }
  return false;
}

int Read(const char* file) {
  HANDLE data = ::GetClipboardData(CF_TEXT);
  if (data == nullptr) return 1;
  const char* text = static_cast<const char*>(::GlobalLock(data));
  if (text == nullptr) return 1;
  const SIZE_T size = ::GlobalSize(data);
  const SIZE_T length = strnlen(text, size);
  int result = 3;
  if (FILE* out = std::fopen(file, "wb")) {
    if (std::fwrite(text, 1, length, out) == length) result = 0;
    if (std::fclose(out) != 0) result = 3;
  }
  ::GlobalUnlock(data);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const bool clear = argc == 2 && std::strcmp(argv[1], "clear") == 0;
  const bool read = argc == 3 && std::strcmp(argv[1], "read") == 0;
  if (!clear && !read) {
    std::fprintf(stderr, "usage: clipboard-text clear | read <file>\n");
    return 3;
  }
  if (!OpenWithRetries()) return 2;
  const int result = clear ? (::EmptyClipboard() ? 0 : 2) : Read(argv[2]);
  ::CloseClipboard();
  return result;
}
