// Exceptions that escape a window handler. The window procedures of our classes
// catch them and queue their messages here; the message loop shows each queued
// message in an error box titled with the application title and goes on.
// Identical messages that pile up while one box is open are shown once.
#pragma once

#include <windows.h>

#include <exception>
#include <string>

namespace morvane::win {

inline constexpr const char* kApplicationTitle = "MORVANE Setup";

// The message of the exception being handled: what() of a std::exception, a
// fixed text for anything else.
std::string CurrentExceptionMessage();

void QueueError(const std::string& message);
bool HasQueuedErrors();

// Shows the queued messages one after the other (MB_ICONERROR, owner `owner`).
// Errors raised while a box is open are queued behind it and shown in turn.
void ShowQueuedErrors(HWND owner);

// Runs `f`; an exception it throws is queued instead of propagating.
template <typename F>
void Guarded(F&& f) {
  try {
    f();
  } catch (...) {
    QueueError(CurrentExceptionMessage());
  }
}

}  // namespace morvane::win
