// The grid as a screen reader reads it, in the program's own process under Wine:
// AccessibleObjectFromWindow on the grid gives a table of rows and cells whose names,
// values, states and places are the grid's; the grid raises its events; an object a
// reader keeps after the grid is gone answers without crashing; and a high-contrast
// theme drops the tints.
#include <windows.h>

#include <oleacc.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "setup/win32/Grid.h"
#include "tests/gui/gui_test_support.h"

namespace morvane::win {
namespace {

const std::vector<int> kWidths{228, 34, 40, 50, 349, 228};
const char* const kTitles[] = {"Device Name", "Filter?", "Rate", "bInterval", "Child Name(s)", "Controller Name"};

std::string CellText(int col, int row) {
  if (row == 0) return kTitles[col];
  std::string text(1, 'r');
  text += std::to_string(row);
  text += 'c';
  text += std::to_string(col);
  return text;
}

// Owning holders of what the accessibility calls hand back.
struct Com {
  explicit Com(IUnknown* object = nullptr) : object(object) {}
  ~Com() {
    if (object != nullptr) object->Release();
  }
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  IUnknown* object;
};

std::string Text(BSTR text) {
  std::string result;
  if (text != nullptr) {
    const int length = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    result.resize(static_cast<std::size_t>(length > 0 ? length - 1 : 0));
    ::WideCharToMultiByte(CP_ACP, 0, text, -1, result.data(), length, nullptr, nullptr);
    ::SysFreeString(text);
  }
  return result;
}

VARIANT Child(long id) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = id;
  return v;
}

std::string Name(IAccessible* object, long id) {
  BSTR text = nullptr;
  return SUCCEEDED(object->get_accName(Child(id), &text)) ? Text(text) : "<failed>";
}
std::string Value(IAccessible* object, long id) {
  BSTR text = nullptr;
  return SUCCEEDED(object->get_accValue(Child(id), &text)) ? Text(text) : "<failed>";
}
long Role(IAccessible* object, long id) {
  VARIANT role;
  ::VariantInit(&role);
  return SUCCEEDED(object->get_accRole(Child(id), &role)) && role.vt == VT_I4 ? role.lVal : -1;
}
long State(IAccessible* object, long id) {
  VARIANT state;
  ::VariantInit(&state);
  return SUCCEEDED(object->get_accState(Child(id), &state)) && state.vt == VT_I4 ? state.lVal : -1;
}

// The events the grid raised, collected by an out-of-context hook of this thread.
std::vector<std::pair<DWORD, LONG>>* g_events = nullptr;
HWND g_eventWindow = nullptr;
void CALLBACK OnEvent(HWINEVENTHOOK, DWORD event, HWND hwnd, LONG object, LONG child, DWORD, DWORD) {
  if (g_events != nullptr && hwnd == g_eventWindow && object == OBJID_CLIENT) g_events->push_back({event, child});
}
void Pump() {
  MSG msg;
  for (int i = 0; i < 20; ++i) {
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
    ::Sleep(10);
  }
}

class GridAccessibleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(::CoInitialize(nullptr)));
    CreateArgs args;
    args.parent = host_.Hwnd();
    args.id = 1;
    args.width = 960;
    args.height = 284;
    grid_ = std::make_unique<Grid>(args, kWidths, 4, 21);
    grid_->OnDrawCell = [](int col, int row, const TRect& rect, TGridDrawState, ICanvas& canvas) {
      canvas.TextOut(rect.Left + 3, rect.Top + 3, CellText(col, row), rect);
    };
  }
  void TearDown() override {
    grid_.reset();
    ::CoUninitialize();
  }

  // The grid's client object, as a screen reader gets it.
  IAccessible* Table() {
    IAccessible* table = nullptr;
    EXPECT_EQ(::AccessibleObjectFromWindow(grid_->Hwnd(), static_cast<DWORD>(OBJID_CLIENT), IID_IAccessible,
                                           reinterpret_cast<void**>(&table)),
              S_OK);
    return table;
  }
  static IAccessible* Row(IAccessible* table, long row) {
    IDispatch* dispatch = nullptr;
    if (table->get_accChild(Child(row + 1), &dispatch) != S_OK || dispatch == nullptr) return nullptr;
    IAccessible* object = nullptr;
    dispatch->QueryInterface(IID_IAccessible, reinterpret_cast<void**>(&object));
    dispatch->Release();
    return object;
  }

  HostWindow host_;
  std::unique_ptr<Grid> grid_;
};

TEST_F(GridAccessibleTest, ATableOfTheTitleRowAndTheRowsWhoseCellsAreNamedByTheirColumns) {
  IAccessible* table = Table();
  ASSERT_NE(table, nullptr);
  Com holdTable(table);
  EXPECT_EQ(Role(table, CHILDID_SELF), ROLE_SYSTEM_TABLE);
  long count = 0;
  ASSERT_EQ(table->get_accChildCount(&count), S_OK);
  EXPECT_EQ(count, 4);

  for (long row = 0; row < 4; ++row) {
    IAccessible* object = Row(table, row);
    ASSERT_NE(object, nullptr) << row;
    Com holdRow(object);
    EXPECT_EQ(Role(object, CHILDID_SELF), ROLE_SYSTEM_ROW);
    EXPECT_EQ(Name(object, CHILDID_SELF), row == 0 ? "Column titles" : CellText(0, row));
    long cells = 0;
    ASSERT_EQ(object->get_accChildCount(&cells), S_OK);
    ASSERT_EQ(cells, 6);
    for (long col = 0; col < 6; ++col) {
      EXPECT_EQ(Role(object, col + 1), row == 0 ? ROLE_SYSTEM_COLUMNHEADER : ROLE_SYSTEM_CELL);
      EXPECT_EQ(Name(object, col + 1), kTitles[col]);
      EXPECT_EQ(Value(object, col + 1), CellText(static_cast<int>(col), static_cast<int>(row)));
    }
    // Ids beyond the cells are refused, not read.
    BSTR none = nullptr;
    EXPECT_EQ(object->get_accValue(Child(7), &none), E_INVALIDARG);
  }
  IDispatch* none = nullptr;
  EXPECT_EQ(table->get_accChild(Child(5), &none), E_INVALIDARG);
  EXPECT_EQ(none, nullptr);
}

TEST_F(GridAccessibleTest, SelectionFocusAndPlacesAreTheGridsAndASelectMovesTheCurrentCell) {
  IAccessible* table = Table();
  ASSERT_NE(table, nullptr);
  Com holdTable(table);
  grid_->SetCurrentCell(3, 2);
  ::SetFocus(grid_->Hwnd());
  ASSERT_EQ(::GetFocus(), grid_->Hwnd());

  IAccessible* row2 = Row(table, 2);
  IAccessible* row1 = Row(table, 1);
  ASSERT_TRUE(row2 != nullptr && row1 != nullptr);
  Com hold2(row2), hold1(row1);
  EXPECT_NE(State(row2, CHILDID_SELF) & STATE_SYSTEM_SELECTED, 0);
  EXPECT_EQ(State(row1, CHILDID_SELF) & STATE_SYSTEM_SELECTED, 0);
  EXPECT_EQ(State(row2, 4) & (STATE_SYSTEM_SELECTED | STATE_SYSTEM_FOCUSED),
            STATE_SYSTEM_SELECTED | STATE_SYSTEM_FOCUSED);
  EXPECT_EQ(State(row2, 3) & (STATE_SYSTEM_SELECTED | STATE_SYSTEM_FOCUSED), 0);

  VARIANT focus;
  ::VariantInit(&focus);
  ASSERT_EQ(table->get_accFocus(&focus), S_OK);
  ASSERT_EQ(focus.vt, VT_DISPATCH);
  IAccessible* focused = nullptr;
  focus.pdispVal->QueryInterface(IID_IAccessible, reinterpret_cast<void**>(&focused));
  ::VariantClear(&focus);
  ASSERT_NE(focused, nullptr);
  Com holdFocused(focused);
  EXPECT_EQ(Name(focused, CHILDID_SELF), CellText(0, 2));
  ASSERT_EQ(focused->get_accFocus(&focus), S_OK);
  EXPECT_EQ(focus.vt, VT_I4);
  EXPECT_EQ(focus.lVal, 4);

  // A cell's place on the screen is its rectangle in the grid, mapped to the screen.
  RECT cell = grid_->CellRect(2, 1);
  ::MapWindowPoints(grid_->Hwnd(), nullptr, reinterpret_cast<POINT*>(&cell), 2);
  long left = 0, top = 0, width = 0, height = 0;
  ASSERT_EQ(row1->accLocation(&left, &top, &width, &height, Child(3)), S_OK);
  EXPECT_EQ(left, cell.left);
  EXPECT_EQ(top, cell.top);
  EXPECT_EQ(width, cell.right - cell.left);
  EXPECT_EQ(height, cell.bottom - cell.top);
  // And the point in its middle hits that row and that cell.
  VARIANT hit;
  ::VariantInit(&hit);
  ASSERT_EQ(table->accHitTest(cell.left + 5, cell.top + 5, &hit), S_OK);
  ASSERT_EQ(hit.vt, VT_DISPATCH);
  IAccessible* hitRow = nullptr;
  hit.pdispVal->QueryInterface(IID_IAccessible, reinterpret_cast<void**>(&hitRow));
  ::VariantClear(&hit);
  ASSERT_NE(hitRow, nullptr);
  Com holdHit(hitRow);
  EXPECT_EQ(Name(hitRow, CHILDID_SELF), CellText(0, 1));
  ASSERT_EQ(hitRow->accHitTest(cell.left + 5, cell.top + 5, &hit), S_OK);
  EXPECT_EQ(hit.lVal, 3);

  // A reader that selects a cell makes it the grid's current cell, as a click would.
  ASSERT_EQ(row1->accSelect(SELFLAG_TAKESELECTION, Child(2)), S_OK);
  EXPECT_EQ(grid_->Col(), 1);
  EXPECT_EQ(grid_->Row(), 1);
  // The title row cannot be selected.
  IAccessible* titles = Row(table, 0);
  ASSERT_NE(titles, nullptr);
  Com holdTitles(titles);
  EXPECT_NE(titles->accSelect(SELFLAG_TAKESELECTION, Child(1)), S_OK);
  EXPECT_EQ(grid_->Row(), 1);
}

TEST_F(GridAccessibleTest, MovesAndRebuildsRaiseSelectionFocusAndReorderEvents) {
  std::vector<std::pair<DWORD, LONG>> events;
  g_events = &events;
  g_eventWindow = grid_->Hwnd();
  HWINEVENTHOOK hook = ::SetWinEventHook(EVENT_OBJECT_REORDER, EVENT_OBJECT_SELECTION, nullptr, OnEvent,
                                         ::GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT);
  ASSERT_NE(hook, nullptr);
  ::SetFocus(grid_->Hwnd());
  Pump();
  events.clear();

  grid_->SetCurrentCell(1, 3);
  Pump();
  EXPECT_NE(std::find(events.begin(), events.end(), std::make_pair(DWORD{EVENT_OBJECT_SELECTION}, LONG{4})),
            events.end());
  EXPECT_NE(std::find(events.begin(), events.end(), std::make_pair(DWORD{EVENT_OBJECT_FOCUS}, LONG{4})),
            events.end());
  events.clear();
  grid_->SetRowCount(6);
  Pump();
  EXPECT_NE(std::find(events.begin(), events.end(),
                      std::make_pair(DWORD{EVENT_OBJECT_REORDER}, LONG{CHILDID_SELF})),
            events.end());
  ::UnhookWinEvent(hook);
  g_events = nullptr;
}

TEST_F(GridAccessibleTest, AnObjectKeptAfterTheGridIsGoneAnswersNotConnected) {
  IAccessible* table = Table();
  ASSERT_NE(table, nullptr);
  IAccessible* row = Row(table, 1);
  ASSERT_NE(row, nullptr);
  grid_.reset();
  long count = 0;
  EXPECT_EQ(table->get_accChildCount(&count), CO_E_OBJNOTCONNECTED);
  BSTR text = nullptr;
  EXPECT_EQ(row->get_accValue(Child(1), &text), CO_E_OBJNOTCONNECTED);
  row->Release();
  table->Release();
}

// A user whose high-contrast setting the test chooses.
class ContrastUser : public RecordingUser {
 public:
  bool on = false;
  BOOL SystemParametersInfoA(UINT action, UINT, PVOID data, UINT) override {
    if (action != SPI_GETHIGHCONTRAST) return FALSE;
    static_cast<HIGHCONTRASTA*>(data)->dwFlags = HCF_AVAILABLE | (on ? HCF_HIGHCONTRASTON : 0);
    return TRUE;
  }
};

TEST_F(GridAccessibleTest, UnderAHighContrastThemeTheCellsKeepTheSystemColoursWithoutTints) {
  ContrastUser user;
  platform::Backend backend = platform::Current();
  backend.user = &user;
  platform::ScopedBackend scope(backend);
  grid_->OnDrawCell = [](int col, int row, const TRect& rect, TGridDrawState state, ICanvas& canvas) {
    if (row > 0 && !state.Selected) canvas.FillRect(rect, RGBColor(204, 255, 204));
    canvas.TextOut(rect.Left + 3, rect.Top + 3, CellText(col, row), rect);
  };
  auto print = [&] {
    RECT client{};
    ::GetClientRect(grid_->Hwnd(), &client);
    auto bitmap = std::make_unique<Bitmap>(client.right, client.bottom);
    ::SendMessageA(grid_->Hwnd(), WM_PRINTCLIENT, reinterpret_cast<WPARAM>(bitmap->Dc()), PRF_CLIENT);
    return bitmap;
  };
  // A point of a data cell below its text, not the current cell.
  const int x = 300, y = 23 + 17;
  EXPECT_EQ(print()->Pixel(x, y), RGB(204, 255, 204));
  user.on = true;
  EXPECT_EQ(print()->Pixel(x, y), ::GetSysColor(COLOR_WINDOW));
  EXPECT_EQ(print()->Pixel(100, y), ::GetSysColor(COLOR_HIGHLIGHT));  // the current cell (0, 1)
  // The texts are the same either way.
  EXPECT_EQ(grid_->DrawnTexts().at({1, 1}), CellText(1, 1));
}

}  // namespace
}  // namespace morvane::win
