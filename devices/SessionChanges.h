// What this program changed this session: for each device whose filter or rate it
// changed since the device last started, the settings as they were then. A changed
// setting is read when the device starts, so until the device restarts the host
// polls as those settings say.
//
// A change is noted by TDevice::SetFilterInstalled and TDevice::SetRate, from the
// values the record has already read (no extra read is made; a change made before
// the record read them is noted with the earlier settings unknown). The note ends
// when the device restarts: this program's request to restart it is accepted
// (TDevice::TryRestartDevice), the 64-bit helper program ends with success, or the
// window sees the device go away and come back (a restart by another program).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

namespace morvane {

struct TSettingsAtStart {
  bool Known = false;            // the settings below were read before the first change
  bool FilterInstalled = false;
  DWORD RateIndex = 0;
};

// Before a change: keeps the settings the device started with. Only the first note
// since the device's last start counts; later ones leave it as it is.
void NoteSettingsBeforeChange(const std::string& instanceId, const TSettingsAtStart& before);
// The device restarted at this program's request: its settings are now in effect.
void NoteDeviceRestarted(const std::string& instanceId);
// The settings the device started with, when this program changed them since;
// nullopt when it did not. Instance IDs compare ignoring ASCII case.
std::optional<TSettingsAtStart> SettingsAtStart(const std::string& instanceId);
// The instance IDs of the devices with a note, as they were noted.
std::vector<std::string> DevicesChangedThisSession();
// Forgets every note (a new session; the tests).
void ForgetSessionChanges();

}  // namespace morvane
