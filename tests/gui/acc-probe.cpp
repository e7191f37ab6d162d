// acc-probe.exe: reads the device grid of a running program the way a screen reader
// does, from another process, through Microsoft Active Accessibility (oleacc):
//   acc-probe grid <title>         the grid of the window titled <title>: "rows <n>",
//                                  then per row "row <r>\t<states>\t<name>" and per cell
//                                  "cell <r> <c>\t<name>\t<value>" (states: "selected",
//                                  "focused", "offscreen", joined by ","; "-" for none),
//                                  and "selection <r>" for the row the table reports
//                                  selected (by its name and place), or "selection none"
//   acc-probe texts <title>        the static texts of the client area of the window
//                                  titled <title>, one per line (the rate meter's figures)
//   acc-probe events <title> <ms>  prints "ready", then each focus, selection and
//                                  reorder event the grid raises for <ms> milliseconds:
//                                  "event <focus|selection|reorder> <child id>"
// Exit code 0 when read, 1 when the window, its grid or its object was not found,
// 2 for a wrong command line.
#include <windows.h>

#include <oleacc.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

template <typename T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* object) : object_(object) {}
  ~Ref() {
    if (object_ != nullptr) object_->Release();
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  T* Get() const { return object_; }
  T** Out() { return &object_; }

 private:
  T* object_ = nullptr;
};

HWND FindGrid(const char* title) {
  HWND main = ::FindWindowA(nullptr, title);
  return main != nullptr ? ::FindWindowExA(main, nullptr, "MorvaneGrid", nullptr) : nullptr;
}

VARIANT Child(long id) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = id;
  return v;
}

std::string Text(BSTR text) {
  std::string result;
  if (text == nullptr) return result;
  const int length = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length > 1) {
    result.resize(static_cast<std::size_t>(length - 1));
    ::WideCharToMultiByte(CP_ACP, 0, text, -1, result.data(), length, nullptr, nullptr);
  }
  ::SysFreeString(text);
  return result;
}

std::string Name(IAccessible* object, long id) {
  BSTR text = nullptr;
  return SUCCEEDED(object->get_accName(Child(id), &text)) ? Text(text) : "<failed>";
}
std::string Value(IAccessible* object, long id) {
  BSTR text = nullptr;
  return SUCCEEDED(object->get_accValue(Child(id), &text)) ? Text(text) : "<failed>";
}
long State(IAccessible* object, long id) {
  VARIANT state;
  ::VariantInit(&state);
  return SUCCEEDED(object->get_accState(Child(id), &state)) && state.vt == VT_I4 ? state.lVal : 0;
}
std::string States(long bits) {
  std::string text;
  auto add = [&](long bit, const char* name) {
    if ((bits & bit) == 0) return;
    if (!text.empty()) text += ',';
    text += name;
  };
  add(STATE_SYSTEM_SELECTED, "selected");
  add(STATE_SYSTEM_FOCUSED, "focused");
  add(STATE_SYSTEM_OFFSCREEN, "offscreen");
  return text.empty() ? "-" : text;
}
bool Location(IAccessible* object, RECT& rect) {
  long left = 0, top = 0, width = 0, height = 0;
  if (FAILED(object->accLocation(&left, &top, &width, &height, Child(CHILDID_SELF)))) return false;
  rect = RECT{left, top, left + width, top + height};
  return true;
}

IAccessible* AccessibleOf(IDispatch* dispatch) {
  IAccessible* object = nullptr;
  if (dispatch != nullptr) dispatch->QueryInterface(IID_IAccessible, reinterpret_cast<void**>(&object));
  return object;
}

int Grid(const char* title) {
  HWND grid = FindGrid(title);
  if (grid == nullptr) {
    std::fprintf(stderr, "acc-probe: no grid in a window titled \"%s\"\n", title);
    return 1;
  }
  Ref<IAccessible> table;
  const HRESULT got = ::AccessibleObjectFromWindow(grid, static_cast<DWORD>(OBJID_CLIENT), IID_IAccessible,
                                                   reinterpret_cast<void**>(table.Out()));
  if (FAILED(got) || table.Get() == nullptr) {
    std::fprintf(stderr, "acc-probe: AccessibleObjectFromWindow failed: 0x%08lX\n", static_cast<unsigned long>(got));
    return 1;
  }
  long rows = 0;
  table.Get()->get_accChildCount(&rows);
  std::printf("rows %ld\n", rows);
  std::vector<std::pair<std::string, RECT>> places;
  for (long r = 0; r < rows; ++r) {
    Ref<IDispatch> dispatch;
    if (table.Get()->get_accChild(Child(r + 1), dispatch.Out()) != S_OK) {
      std::printf("row %ld\t<no object>\t\n", r);
      continue;
    }
    Ref<IAccessible> row(AccessibleOf(dispatch.Get()));
    if (row.Get() == nullptr) continue;
    const std::string name = Name(row.Get(), CHILDID_SELF);
    RECT place{};
    Location(row.Get(), place);
    places.push_back({name, place});
    std::printf("row %ld\t%s\t%s\n", r, States(State(row.Get(), CHILDID_SELF)).c_str(), name.c_str());
    long cells = 0;
    row.Get()->get_accChildCount(&cells);
    for (long c = 0; c < cells; ++c) {
      std::printf("cell %ld %ld\t%s\t%s\n", r, c, Name(row.Get(), c + 1).c_str(), Value(row.Get(), c + 1).c_str());
    }
  }
  VARIANT selection;
  ::VariantInit(&selection);
  long selected = -1;
  if (table.Get()->get_accSelection(&selection) == S_OK && selection.vt == VT_DISPATCH) {
    Ref<IAccessible> row(AccessibleOf(selection.pdispVal));
    RECT place{};
    if (row.Get() != nullptr && Location(row.Get(), place)) {
      const std::string name = Name(row.Get(), CHILDID_SELF);
      for (std::size_t i = 0; i < places.size(); ++i) {
        if (places[i].first == name && ::EqualRect(&places[i].second, &place)) selected = static_cast<long>(i);
      }
    }
  }
  ::VariantClear(&selection);
  if (selected >= 0) {
    std::printf("selection %ld\n", selected);
  } else {
    std::printf("selection none\n");
  }
  return 0;
}

int Texts(const char* title) {
  HWND window = ::FindWindowA(nullptr, title);
  if (window == nullptr) {
    std::fprintf(stderr, "acc-probe: no window titled \"%s\"\n", title);
    return 1;
  }
  Ref<IAccessible> client;
  if (FAILED(::AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT), IID_IAccessible,
                                          reinterpret_cast<void**>(client.Out()))) ||
      client.Get() == nullptr) {
    std::fprintf(stderr, "acc-probe: AccessibleObjectFromWindow failed\n");
    return 1;
  }
  long count = 0;
  client.Get()->get_accChildCount(&count);
  for (long i = 1; i <= count; ++i) {
    VARIANT role;
    ::VariantInit(&role);
    if (SUCCEEDED(client.Get()->get_accRole(Child(i), &role)) && role.vt == VT_I4 &&
        role.lVal == ROLE_SYSTEM_STATICTEXT) {
      std::printf("%s\n", Name(client.Get(), i).c_str());
    }
  }
  return 0;
}

HWND g_grid = nullptr;
void CALLBACK OnEvent(HWINEVENTHOOK, DWORD event, HWND hwnd, LONG object, LONG child, DWORD, DWORD) {
  if (hwnd != g_grid || object != OBJID_CLIENT) return;
  const char* name = event == EVENT_OBJECT_FOCUS       ? "focus"
                     : event == EVENT_OBJECT_SELECTION ? "selection"
                     : event == EVENT_OBJECT_REORDER   ? "reorder"
                                                       : nullptr;
  if (name == nullptr) return;
  std::printf("event %s %ld\n", name, static_cast<long>(child));
  std::fflush(stdout);
}

int Events(const char* title, int milliseconds) {
  g_grid = FindGrid(title);
  if (g_grid == nullptr) {
    std::fprintf(stderr, "acc-probe: no grid in a window titled \"%s\"\n", title);
    return 1;
  }
  DWORD process = 0;
  ::GetWindowThreadProcessId(g_grid, &process);
  HWINEVENTHOOK hook =
      ::SetWinEventHook(EVENT_OBJECT_REORDER, EVENT_OBJECT_SELECTION, nullptr, OnEvent, process, 0, WINEVENT_OUTOFCONTEXT);
  if (hook == nullptr) {
    std::fprintf(stderr, "acc-probe: SetWinEventHook failed: %lu\n", ::GetLastError());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  const DWORD end = ::GetTickCount() + static_cast<DWORD>(milliseconds);
  while (static_cast<LONG>(end - ::GetTickCount()) > 0) {
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
  }
  ::UnhookWinEvent(hook);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ::SetProcessDPIAware();
  if (FAILED(::CoInitialize(nullptr))) return 1;
  const std::string command = argc > 1 ? argv[1] : "";
  int code = 2;
  if (command == "grid" && argc == 3) {
    code = Grid(argv[2]);
  } else if (command == "texts" && argc == 3) {
    code = Texts(argv[2]);
  } else if (command == "events" && argc == 4) {
    code = Events(argv[2], std::atoi(argv[3]));
  } else {
    std::fprintf(stderr, "usage: acc-probe grid <title> | texts <title> | events <title> <ms>\n");
  }
  ::CoUninitialize();
  return code;
}
