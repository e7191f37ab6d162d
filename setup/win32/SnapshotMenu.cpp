#include "setup/win32/SnapshotMenu.h"

#include <commdlg.h>

#include <string>
#include <vector>

#include "devices/Diagnosis.h"
#include "snapshot/Snapshot.h"

namespace morvane::win {
namespace {

constexpr const char* kItemText = "Save PC Snapshot...";
constexpr const char* kDiagnoseText = "Why Is The Filter Not Active?...";
constexpr const char* kTitle = "MORVANE Setup";

// The file the user picks; empty when the dialog is cancelled.
std::string AskForFile(HWND owner) {
  std::vector<char> file(MAX_PATH * 4, '\0');
  const std::string suggested = "pc-snapshot.json";
  suggested.copy(file.data(), suggested.size());
  OPENFILENAMEA dialog{};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = owner;
  dialog.lpstrFilter = "Machine files (*.json)\0*.json\0All files (*.*)\0*.*\0";
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrTitle = "Save PC Snapshot";
  dialog.lpstrDefExt = "json";
  dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (!::GetSaveFileNameA(&dialog)) return {};
  return std::string(file.data());
}

}  // namespace

void AddSnapshotMenuItem(HWND window) {
  HMENU menu = ::GetSystemMenu(window, FALSE);
  if (menu == nullptr) return;
  ::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
  ::AppendMenuA(menu, MF_STRING, kDiagnoseCommand, kDiagnoseText);
  ::AppendMenuA(menu, MF_STRING, kSaveSnapshotCommand, kItemText);
}

bool HandleSnapshotCommand(HWND window, WPARAM command) {
  if ((command & 0xFFF0) == kDiagnoseCommand) {
    HCURSOR previous = ::SetCursor(::LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)));  // IDC_WAIT
    const std::string text = DiagnosisText(Diagnose());
    ::SetCursor(previous);
    ::MessageBoxA(window, text.c_str(), "Why Is The Filter Not Active?", MB_ICONINFORMATION | MB_OK);
    return true;
  }
  if ((command & 0xFFF0) != kSaveSnapshotCommand) return false;
  const std::string path = AskForFile(window);
  if (path.empty()) return true;
  std::string error;
  HCURSOR previous = ::SetCursor(::LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)));  // IDC_WAIT
  const int code = WriteSnapshotCommand(path, error);
  ::SetCursor(previous);
  if (code != 0) ::MessageBoxA(window, error.c_str(), kTitle, MB_ICONERROR | MB_OK);
  return true;
}

}  // namespace morvane::win
