#include "platform/sim/raw_input.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "platform/sim/device_log.h"

namespace sim {
namespace {

using namespace logtext;

constexpr UINT kFailed = static_cast<UINT>(-1);
// Records of a buffered read start on 8-byte boundaries (NEXTRAWINPUTBLOCK).
constexpr std::size_t kBlockSize = (sizeof(RAWINPUT) + 7) & ~std::size_t{7};
// GUID_DEVINTERFACE_MOUSE, the interface class of a raw-input mouse's name.
constexpr const char* kMouseInterface = "{378DE44C-56EF-11D1-BC8C-00A0C91405DD}";

std::string SizeText(const UINT* size) { return size == nullptr ? "null" : Dec(*size); }

LONGLONG MulDiv64(LONGLONG a, LONGLONG num, LONGLONG den) {
  return a / den * num + (a % den) * num / den;
}

}  // namespace

std::vector<RawInputStream> ParseRawInputStreams(const std::string& text) {
  std::vector<RawInputStream> streams;
  std::size_t from = 0;
  while (from <= text.size()) {
    std::size_t end = text.find(';', from);
    if (end == std::string::npos) end = text.size();
    const std::string entry = text.substr(from, end - from);
    from = end + 1;
    if (entry.empty()) continue;
    const std::size_t colon = entry.find(':');
    const std::string rate = entry.substr(0, colon == std::string::npos ? 0 : colon);
    const bool digits = !rate.empty() && rate.size() <= 6 &&
                        std::all_of(rate.begin(), rate.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::stoul(rate) == 0 || colon + 1 >= entry.size()) {
      throw std::invalid_argument("\"" + entry + "\" is not <rate>:<instance ID>");
    }
    RawInputStream stream;
    stream.rate = static_cast<std::uint32_t>(std::stoul(rate));
    stream.device = entry.substr(colon + 1);
    streams.push_back(std::move(stream));
  }
  return streams;
}

RawInputServices::RawInputServices(SimCore& core) : core_(core) {}

UINT RawInputServices::Fail(DWORD error) {
  core_.SetLastError(error);
  return kFailed;
}

void RawInputServices::UseClock(std::function<LONGLONG()> clock, LONGLONG frequency) {
  clock_ = std::move(clock);
  frequency_ = frequency > 0 ? frequency : DefaultFrequency;
}

LONGLONG RawInputServices::Now() const { return clock_ ? clock_() : counter_; }

std::vector<const Device*> RawInputServices::Mice() const {
  std::vector<const Device*> mice;
  for (const Device& d : core_.Model().devices) {
    if (d.present && IsEqualGUID(d.classGuid, guids::DevClassMouse)) mice.push_back(&d);
  }
  return mice;
}

const Device* RawInputServices::FindMouse(const std::string& instanceId) const {
  const auto& devices = core_.Model().devices;
  // The node itself, else the first mouse-class node below it.
  std::vector<std::string> wanted{ToUpperAscii(instanceId)};
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    for (const Device& d : devices) {
      const std::string id = ToUpperAscii(d.instanceId);
      if (i == 0 && id == wanted[0] && IsEqualGUID(d.classGuid, guids::DevClassMouse)) return &d;
      if (ToUpperAscii(d.parent) == wanted[i] && !d.parent.empty()) {
        if (IsEqualGUID(d.classGuid, guids::DevClassMouse)) return &d;
        wanted.push_back(id);
      }
    }
  }
  return nullptr;
}

HANDLE RawInputServices::DeviceHandle(const std::string& instanceId) {
  const Device* mouse = FindMouse(instanceId);
  if (mouse == nullptr || ToUpperAscii(mouse->instanceId) != ToUpperAscii(instanceId)) return nullptr;
  auto [it, added] = handles_.try_emplace(ToUpperAscii(instanceId), nextHandle_);
  if (added) nextHandle_ += 0x10;
  return reinterpret_cast<HANDLE>(it->second);
}

const Device* RawInputServices::MouseOfHandle(HANDLE handle) const {
  for (const auto& [id, value] : handles_) {
    if (reinterpret_cast<HANDLE>(value) != handle) continue;
    for (const Device* d : Mice()) {
      if (ToUpperAscii(d->instanceId) == id) return d;
    }
  }
  return nullptr;
}

std::string RawInputServices::DeviceName(const std::string& instanceId) {
  std::string name = "\\\\?\\";
  for (char c : instanceId) name.push_back(c == '\\' ? '#' : c);
  name += "#";
  name += kMouseInterface;
  return name;
}

void RawInputServices::Play(RawInputStream stream) {
  const Device* mouse = FindMouse(stream.device);
  if (mouse == nullptr) throw std::invalid_argument("no mouse at or below " + stream.device);
  if (stream.rate == 0) throw std::invalid_argument("a stream needs a rate above 0");
  Player player{std::move(stream), mouse->instanceId, 0};
  DeviceHandle(player.mouse);
  streams_.push_back(std::move(player));
}

LONGLONG RawInputServices::TimeOf(const Player& player, std::uint64_t index) const {
  return player.stream.start + MulDiv64(static_cast<LONGLONG>(index), frequency_, player.stream.rate);
}

std::uint64_t RawInputServices::FirstIndexAfter(const Player& player, LONGLONG now) const {
  if (now < player.stream.start) return 0;
  auto index = static_cast<std::uint64_t>(MulDiv64(now - player.stream.start, player.stream.rate, frequency_));
  while (index > 0 && TimeOf(player, index - 1) > now) --index;
  while (TimeOf(player, index) <= now) ++index;
  return index;
}

void RawInputServices::Pump() {
  const LONGLONG now = Now();
  const bool delivering = MiceRegistered();
  std::vector<Report> due;
  for (Player& player : streams_) {
    const std::uint64_t end = player.stream.count == 0 ? UINT64_MAX : player.stream.count;
    const std::uint64_t upTo = std::min(end, FirstIndexAfter(player, now));
    if (upTo <= player.next) continue;
    if (!delivering) {
      player.next = upTo;  // nobody listens: the reports are lost
      continue;
    }
    // More than the queue can take: only the newest fit, the older ones are counted as dropped.
    if (upTo - player.next > QueueLimit) {
      dropped_ += upTo - player.next - QueueLimit;
      player.next = upTo - QueueLimit;
    }
    HANDLE device = DeviceHandle(player.mouse);
    for (; player.next < upTo; ++player.next) {
      due.push_back(Report{0, device, TimeOf(player, player.next), player.stream.dx, player.stream.dy});
    }
  }
  std::stable_sort(due.begin(), due.end(), [](const Report& a, const Report& b) { return a.time < b.time; });
  for (Report& report : due) {
    if (queue_.size() >= QueueLimit) {
      ++dropped_;
      continue;
    }
    report.message = nextMessage_;
    nextMessage_ += 0x10;
    queue_.push_back(report);
  }
  std::erase_if(streams_, [](const Player& p) { return p.stream.count != 0 && p.next >= p.stream.count; });
}

HRAWINPUT RawInputServices::NextMessage() {
  Pump();
  if (queue_.empty()) {
    current_ = Report{};
    return nullptr;
  }
  current_ = queue_.front();
  queue_.pop_front();
  return reinterpret_cast<HRAWINPUT>(current_.message);
}

std::size_t RawInputServices::PendingCount() {
  Pump();
  return queue_.size();
}

bool RawInputServices::IsRegistered(USHORT usagePage, USHORT usage) const {
  return registrations_.count({usagePage, usage}) != 0;
}

HWND RawInputServices::Target(USHORT usagePage, USHORT usage) const {
  auto it = registrations_.find({usagePage, usage});
  return it == registrations_.end() ? nullptr : it->second.hwndTarget;
}

DWORD RawInputServices::Flags(USHORT usagePage, USHORT usage) const {
  auto it = registrations_.find({usagePage, usage});
  return it == registrations_.end() ? 0 : it->second.dwFlags;
}

void RawInputServices::FillRecord(const Report& report, RAWINPUT& record) const {
  std::memset(&record, 0, sizeof record);
  record.header.dwType = RIM_TYPEMOUSE;
  record.header.dwSize = sizeof(RAWINPUT);
  record.header.hDevice = report.device;
  record.header.wParam = RIM_INPUT;
  record.data.mouse.usFlags = MOUSE_MOVE_RELATIVE;
  record.data.mouse.lLastX = report.dx;
  record.data.mouse.lLastY = report.dy;
}

BOOL RawInputServices::RegisterRawInputDevices(PCRAWINPUTDEVICE devices, UINT count, UINT size) {
  core_.Log("RegisterRawInputDevices", Join(devices == nullptr ? std::string("null") : std::string("out"),
                                            Dec(count), Dec(size)));
  DWORD error = 0;
  if (core_.ShouldFail("RegisterRawInputDevices", &error)) return Fail(error), FALSE;
  if (devices == nullptr || count == 0 || size != sizeof(RAWINPUTDEVICE)) return Fail(ERROR_INVALID_PARAMETER), FALSE;
  // All or nothing: every entry is checked before any takes effect.
  for (UINT i = 0; i < count; ++i) {
    const RAWINPUTDEVICE& d = devices[i];
    const bool remove = (d.dwFlags & RIDEV_REMOVE) != 0;
    if (remove && d.hwndTarget != nullptr) return Fail(ERROR_INVALID_PARAMETER), FALSE;
    if ((d.dwFlags & RIDEV_INPUTSINK) != 0 && d.hwndTarget == nullptr) return Fail(ERROR_INVALID_PARAMETER), FALSE;
    if (d.dwFlags & ~(RIDEV_REMOVE | RIDEV_INPUTSINK)) return Fail(ERROR_INVALID_FLAGS), FALSE;
  }
  for (UINT i = 0; i < count; ++i) {
    const RAWINPUTDEVICE& d = devices[i];
    if ((d.dwFlags & RIDEV_REMOVE) != 0) {
      registrations_.erase({d.usUsagePage, d.usUsage});
      if (d.usUsagePage == 1 && d.usUsage == 2) {
        queue_.clear();  // what was not read yet goes with the registration
        current_ = Report{};
      }
    } else {
      if (d.usUsagePage == 1 && d.usUsage == 2 && !MiceRegistered()) {
        // Reports made before anyone listened are not delivered.
        for (Player& player : streams_) {
          const std::uint64_t upTo = FirstIndexAfter(player, Now());
          player.next = std::max(player.next, upTo);
        }
      }
      registrations_[{d.usUsagePage, d.usUsage}] = d;
    }
  }
  core_.SetLastError(ERROR_SUCCESS);
  return TRUE;
}

UINT RawInputServices::GetRawInputData(HRAWINPUT input, UINT command, LPVOID data, PUINT size, UINT headerSize) {
  core_.Log("GetRawInputData", Join(Handle(input), Hex(command), data == nullptr ? std::string("null") : "out",
                                    SizeText(size), Dec(headerSize)));
  DWORD error = 0;
  if (core_.ShouldFail("GetRawInputData", &error)) return Fail(error);
  if (size == nullptr || headerSize != sizeof(RAWINPUTHEADER)) return Fail(ERROR_INVALID_PARAMETER);
  if (input == nullptr || current_.message == 0 || reinterpret_cast<std::uintptr_t>(input) != current_.message) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  UINT needed = 0;
  if (command == RID_INPUT) needed = sizeof(RAWINPUT);
  else if (command == RID_HEADER) needed = sizeof(RAWINPUTHEADER);
  else return Fail(ERROR_INVALID_PARAMETER);
  if (data == nullptr) {
    *size = needed;
    return 0;
  }
  if (*size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  RAWINPUT record;
  FillRecord(current_, record);
  std::memcpy(data, &record, needed);
  return needed;
}

UINT RawInputServices::GetRawInputBuffer(PRAWINPUT data, PUINT size, UINT headerSize) {
  core_.Log("GetRawInputBuffer", Join(data == nullptr ? std::string("null") : "out", SizeText(size), Dec(headerSize)));
  DWORD error = 0;
  if (core_.ShouldFail("GetRawInputBuffer", &error)) return Fail(error);
  if (size == nullptr || headerSize != sizeof(RAWINPUTHEADER)) return Fail(ERROR_INVALID_PARAMETER);
  Pump();
  if (data == nullptr) {
    *size = queue_.empty() ? 0 : static_cast<UINT>(sizeof(RAWINPUT));
    return 0;
  }
  auto* bytes = reinterpret_cast<BYTE*>(data);
  std::size_t offset = 0;
  UINT written = 0;
  while (!queue_.empty() && offset + sizeof(RAWINPUT) <= *size) {
    RAWINPUT record;
    FillRecord(queue_.front(), record);
    std::memcpy(bytes + offset, &record, sizeof record);
    queue_.pop_front();
    offset += kBlockSize;
    ++written;
  }
  if (written == 0 && !queue_.empty()) {
    *size = sizeof(RAWINPUT);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  return written;
}

UINT RawInputServices::GetRawInputDeviceInfoA(HANDLE device, UINT command, LPVOID data, PUINT size) {
  core_.Log("GetRawInputDeviceInfoA",
            Join(Handle(device), Hex(command), data == nullptr ? std::string("null") : "out", SizeText(size)));
  DWORD error = 0;
  if (core_.ShouldFail("GetRawInputDeviceInfoA", &error)) return Fail(error);
  if (size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const Device* mouse = MouseOfHandle(device);
  if (mouse == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (command != RIDI_DEVICENAME) return Fail(ERROR_INVALID_PARAMETER);
  const std::string name = DeviceName(mouse->instanceId);
  const auto needed = static_cast<UINT>(name.size() + 1);  // characters, NUL included
  if (data == nullptr) {
    *size = needed;
    return 0;
  }
  if (*size < needed) {
    *size = needed;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(data, name.c_str(), needed);
  return needed;
}

UINT RawInputServices::GetRawInputDeviceList(PRAWINPUTDEVICELIST list, PUINT count, UINT size) {
  core_.Log("GetRawInputDeviceList", Join(list == nullptr ? std::string("null") : "out", SizeText(count), Dec(size)));
  DWORD error = 0;
  if (core_.ShouldFail("GetRawInputDeviceList", &error)) return Fail(error);
  if (count == nullptr || size != sizeof(RAWINPUTDEVICELIST)) return Fail(ERROR_INVALID_PARAMETER);
  const std::vector<const Device*> mice = Mice();
  const auto n = static_cast<UINT>(mice.size());
  if (list == nullptr) {
    *count = n;
    return 0;
  }
  if (*count < n) {
    *count = n;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  for (UINT i = 0; i < n; ++i) {
    list[i].hDevice = DeviceHandle(mice[i]->instanceId);
    list[i].dwType = RIM_TYPEMOUSE;
  }
  return n;
}

BOOL RawInputServices::QueryPerformanceCounter(LARGE_INTEGER* counter) {
  if (counter == nullptr) return core_.SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  counter->QuadPart = Now();
  return TRUE;
}

BOOL RawInputServices::QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  if (frequency == nullptr) return core_.SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  frequency->QuadPart = frequency_;
  return TRUE;
}

}  // namespace sim
