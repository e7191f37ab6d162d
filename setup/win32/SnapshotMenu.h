// The "Save PC Snapshot..." item of the main window's system menu: the standard save
// dialog, then the machine recorded into the chosen file (snapshot/Snapshot.h); and
// the "Why Is The Filter Not Active?..." item before it: the diagnosis of the filter
// (devices/Diagnosis.h) in a box.
#pragma once

#include <windows.h>

namespace morvane::win {

inline constexpr UINT kSaveSnapshotCommand = 0x0110;  // below 0xF000, low four bits clear
static_assert((kSaveSnapshotCommand & 0xF) == 0 && kSaveSnapshotCommand < 0xF000);
inline constexpr UINT kDiagnoseCommand = 0x0130;
static_assert((kDiagnoseCommand & 0xF) == 0 && kDiagnoseCommand < 0xF000);

// Appends a separator and the two items to the window's system menu.
void AddSnapshotMenuItem(HWND window);

// For WM_SYSCOMMAND: runs the item and returns true when the command is one of the items'.
bool HandleSnapshotCommand(HWND window, WPARAM command);

}  // namespace morvane::win
