#include "setup/win32/WayBackMenu.h"

#include <string>

#include "setup/cli/Commands.h"
#include "setup/win32/SnapshotMenu.h"

namespace morvane::win {
namespace {

constexpr const char* kUndoText = "Undo Changes To This Device...";
constexpr const char* kRemoveText = "Remove The Filter From All Devices...";

// Runs the command of the command line that does the work, first without /yes (it
// lists what would change), then, when the user agrees, with it.
bool AskAndRun(HWND window, const std::string& arguments, const char* title, std::string& output) {
  cli::CommandHost host;  // no /restart: the window restarts by itself
  const cli::CommandResult preview = cli::RunParsed(cli::ParseCommandLine("setup.exe " + arguments), host);
  if (preview.exitCode != cli::ExitRefusedWithoutYes) {
    ::MessageBoxA(window, preview.output.c_str(), title,
                  preview.exitCode == cli::ExitNothingToDo ? MB_ICONINFORMATION : MB_ICONERROR);
    return false;
  }
  // The preview's first line is the command's refusal; the rest is what will change.
  const std::string list = preview.output.substr(preview.output.find('\n') + 1);
  const std::string question = "These changes will be made:\r\n\r\n" + list + "\r\nContinue?";
  if (::MessageBoxA(window, question.c_str(), title, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
    return false;
  }
  const cli::CommandResult done = cli::RunParsed(cli::ParseCommandLine("setup.exe " + arguments + " /yes"), host);
  output = done.output;
  ::MessageBoxA(window, done.output.c_str(), title, done.exitCode == cli::ExitDone ? MB_ICONINFORMATION : MB_ICONERROR);
  return done.exitCode == cli::ExitDone;
}

}  // namespace

void AddWayBackMenuItems(HWND window) {
  HMENU menu = ::GetSystemMenu(window, FALSE);
  if (menu == nullptr) return;
  // Before the diagnosis and the snapshot, which stay the menu's last items; appended
  // when they are not there.
  if (::GetMenuState(menu, kDiagnoseCommand, MF_BYCOMMAND) == static_cast<UINT>(-1)) {
    ::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuA(menu, MF_STRING, kUndoDeviceCommand, kUndoText);
    ::AppendMenuA(menu, MF_STRING, kRemoveFilterCommand, kRemoveText);
    return;
  }
  ::InsertMenuA(menu, kDiagnoseCommand, MF_BYCOMMAND | MF_STRING, kUndoDeviceCommand, kUndoText);
  ::InsertMenuA(menu, kDiagnoseCommand, MF_BYCOMMAND | MF_STRING, kRemoveFilterCommand, kRemoveText);
  ::InsertMenuA(menu, kDiagnoseCommand, MF_BYCOMMAND | MF_SEPARATOR, 0, nullptr);
}

bool HandleWayBackCommand(HWND window, TfrmSetup& form, WPARAM command) {
  const UINT item = static_cast<UINT>(command & 0xFFF0);
  if (item != kUndoDeviceCommand && item != kRemoveFilterCommand) return false;
  std::string output;
  if (item == kUndoDeviceCommand) {
    if (form.DeviceCount == 0 || form.GetSelectedIndex() < 0) {
      ::MessageBeep(MB_OK);
      return true;
    }
    const std::string id = form.GetSelectedDevice().InstanceId;
    // The device takes back its settings when it restarts, as after any change.
    if (AskAndRun(window, "/restore \"" + id + "\"", "Undo Changes To This Device", output)) form.btnApplyClick();
  } else {
    AskAndRun(window, "/uninstall", "Remove The Filter From All Devices", output);
  }
  form.RefreshDevices();
  return true;
}

}  // namespace morvane::win
