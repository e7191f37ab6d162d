// The hub I/O controls: a hub's answers, byte for byte in the platform's packed
// layouts, to the node-information, driver-key-name and connection-information
// controls.
#pragma once

#include <functional>
#include <optional>

#include "platform/sim/model.h"

namespace sim {

// What the hub knows about one of its ports.
struct PortView {
  const PortConnection* connection = nullptr;  // null: the hub has no such port
  const Device* device = nullptr;              // the attached device while it is present
  std::optional<BYTE> intervalOverride;        // bInterval the running filter imposes on interrupt pipes
};

using PortLookup = std::function<PortView(ULONG port)>;

// Answers `code` for `hub`. `in` and `out` may be the same buffer; nothing is
// written past `outSize`. Returns false with *error set when the control fails.
bool AnswerHubControl(const Hub& hub, const PortLookup& ports, DWORD code, const void* in, DWORD inSize, void* out,
                      DWORD outSize, DWORD* returned, DWORD* error);

}  // namespace sim
