#include "setup/win32/ErrorQueue.h"

#include <deque>
#include <stdexcept>

#include "platform/platform.h"

namespace morvane::win {
namespace {

std::deque<std::string>& Queue() {
  static std::deque<std::string> queue;
  return queue;
}

bool showing = false;

}  // namespace

std::string CurrentExceptionMessage() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

void QueueError(const std::string& message) {
  auto& queue = Queue();
  for (const auto& queued : queue) {
    if (queued == message) return;
  }
  queue.push_back(message);
}

bool HasQueuedErrors() { return !Queue().empty(); }

void ShowQueuedErrors(HWND owner) {
  // A box's own message loop may reach the main loop's code again through a nested
  // dispatch; only the outermost caller shows boxes.
  if (showing) return;
  showing = true;
  auto& queue = Queue();
  while (!queue.empty()) {
    const std::string message = queue.front();
    platform::User().MessageBoxA(owner, message.c_str(), kApplicationTitle, MB_ICONERROR);
    queue.pop_front();
  }
  showing = false;
}

}  // namespace morvane::win
