#include "setup/win32/MessageLoop.h"

#include "setup/win32/ErrorQueue.h"
#include "setup/win32/MenuKeys.h"

namespace morvane::win {

int RunMessageLoop(HWND main) {
  ShowQueuedErrors(main);  // errors of the start-up, before the first message
  MSG msg{};
  for (;;) {
    const BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) break;
    if (::IsWindow(main) && TranslateMenuKey(main, msg)) continue;
    const bool dialogKey = ::IsWindow(main) && msg.message >= WM_KEYFIRST && msg.message <= WM_KEYLAST &&
                           ::IsDialogMessageA(main, &msg);
    if (!dialogKey) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
    if (HasQueuedErrors()) ShowQueuedErrors(::IsWindow(main) ? main : nullptr);
  }
  return static_cast<int>(msg.wParam);
}

}  // namespace morvane::win
