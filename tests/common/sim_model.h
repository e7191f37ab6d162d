// Building blocks of the small simulated machines the tests and the benchmark write
// in C++: device nodes, text properties, pipes and hub ports.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/sim/sim.h"

namespace simtest {

// A device node with empty driver and hardware keys.
inline sim::Device Node(const std::string& id, const std::string& parent, const GUID& setupClass,
                        std::vector<GUID> interfaces = {}) {
  sim::Device device;
  device.instanceId = id;
  device.parent = parent;
  device.classGuid = setupClass;
  device.interfaces = std::move(interfaces);
  device.driverKey = sim::ValueMap{};
  device.hardwareKey = sim::ValueMap{};
  return device;
}

inline void SetText(sim::Device& device, DWORD property, const std::string& text) {
  device.properties[property] = sim::RegValue::String(text);
}

inline sim::Pipe InterruptPipe(BYTE interval) {
  sim::Pipe pipe;
  pipe.attributes = 3;
  pipe.interval = interval;
  return pipe;
}

inline sim::Pipe BulkPipe() {
  sim::Pipe pipe;
  pipe.attributes = 2;
  pipe.endpointAddress = 0x02;
  pipe.maxPacketSize = 512;
  return pipe;
}

// A hub port with `device` attached at `speed`.
inline sim::PortConnection Port(ULONG port, const std::string& device, BYTE speed, std::vector<sim::Pipe> pipes) {
  sim::PortConnection p;
  p.port = port;
  p.device = device;
  p.speed = speed;
  p.pipes = std::move(pipes);
  return p;
}

}  // namespace simtest
