#include "setup/win32/GridAccessible.h"

#include <atomic>
#include <new>
#include <utility>

namespace morvane::win {
namespace {

constexpr long kNoChild = CHILDID_SELF;

// A BSTR made from ANSI text; nullptr when out of memory.
BSTR ToBstr(const std::string& text) {
  const int length = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  BSTR result = ::SysAllocStringLen(nullptr, static_cast<UINT>(length));
  if (result != nullptr && length > 0) {
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result, length);
  }
  return result;
}

HRESULT ReturnText(const std::string& text, BSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out = ToBstr(text);
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

void SetEmpty(VARIANT* out) {
  ::VariantInit(out);
  out->vt = VT_EMPTY;
}

void SetChildId(VARIANT* out, long id) {
  ::VariantInit(out);
  out->vt = VT_I4;
  out->lVal = id;
}

void SetDispatch(VARIANT* out, IDispatch* object) {  // takes over the reference
  ::VariantInit(out);
  out->vt = VT_DISPATCH;
  out->pdispVal = object;
}

bool ChildId(const VARIANT& child, long& id) {
  if (child.vt != VT_I4) return false;
  id = child.lVal;
  return true;
}

// IUnknown and IDispatch of every object here (no type information: MSAA clients
// call IAccessible's methods directly).
class AccessibleObject : public IAccessible {
 public:
  virtual ~AccessibleObject() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IAccessible) {
      *out = static_cast<IAccessible*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info != nullptr) *info = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  // What no object of the grid has.
  HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT, BSTR* help) override { return Nothing(help); }
  HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT, long* topic) override {
    if (topic != nullptr) *topic = 0;
    return Nothing(file);
  }
  HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT, BSTR* shortcut) override { return Nothing(shortcut); }
  HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT, BSTR* action) override { return Nothing(action); }
  HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT) override { return DISP_E_MEMBERNOTFOUND; }
  HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

 protected:
  static HRESULT Nothing(BSTR* out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    return S_FALSE;
  }

 private:
  std::atomic<ULONG> references_{1};
};

}  // namespace

// The table: the grid's client area. Its children are row objects, child id = row + 1.
class GridAccessible final : public AccessibleObject {
 public:
  explicit GridAccessible(IAccessibleGrid& grid) : grid_(&grid) {}

  void Detach() { grid_ = nullptr; }
  IAccessibleGrid* Grid() const { return grid_; }

  // A screen rectangle of grid client coordinates.
  RECT ToScreen(RECT rect) const {
    ::MapWindowPoints(grid_->GridWindow(), nullptr, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
  }
  bool HasFocus() const { return ::GetFocus() == grid_->GridWindow(); }
  // Whether a cell lies (partly) in the visible client area.
  bool OnView(const RECT& cell) const {
    RECT client{}, both{};
    ::GetClientRect(grid_->GridWindow(), &client);
    return ::IntersectRect(&both, &client, &cell) != FALSE;
  }

  HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override;
  HRESULT STDMETHODCALLTYPE get_accChildCount(long* count) override {
    if (count == nullptr) return E_POINTER;
    if (grid_ == nullptr) return CO_E_OBJNOTCONNECTED;
    *count = grid_->RowCount();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** object) override;
  HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
    if (grid_ == nullptr) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id) || id != kNoChild) return E_INVALIDARG;
    return ReturnText("Devices", name);
  }
  HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
    if (grid_ == nullptr) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id) || id != kNoChild) return E_INVALIDARG;
    return Nothing(value);
  }
  HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* description) override {
    if (grid_ == nullptr) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id) || id != kNoChild) return E_INVALIDARG;
    return Nothing(description);
  }
  HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
    if (role == nullptr) return E_POINTER;
    if (grid_ == nullptr) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id) || id != kNoChild) return E_INVALIDARG;
    SetChildId(role, ROLE_SYSTEM_TABLE);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
    if (state == nullptr) return E_POINTER;
    if (grid_ == nullptr) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id) || id != kNoChild) return E_INVALIDARG;
    long bits = STATE_SYSTEM_FOCUSABLE;
    if (HasFocus()) bits |= STATE_SYSTEM_FOCUSED;
    if (!::IsWindowEnabled(grid_->GridWindow())) bits |= STATE_SYSTEM_UNAVAILABLE;
    if (!::IsWindowVisible(grid_->GridWindow())) bits |= STATE_SYSTEM_INVISIBLE;
    SetChildId(state, bits);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* focus) override {
    if (focus == nullptr) return E_POINTER;
    if (grid_ == nullptr) return CO_E_OBJNOTCONNECTED;
    SetEmpty(focus);
    if (!HasFocus()) return S_FALSE;
    return RowObject(grid_->Row(), focus);
  }
  HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* selection) override {
    if (selection == nullptr) return E_POINTER;
    if (grid_ == nullptr) return CO_E_OBJNOTCONNECTED;
    return RowObject(grid_->Row(), selection);
  }
  HRESULT STDMETHODCALLTYPE accSelect(long flags, VARIANT child) override {
    if (grid_ == nullptr) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id) || id != kNoChild) return E_INVALIDARG;
    if ((flags & SELFLAG_TAKEFOCUS) == 0) return DISP_E_MEMBERNOTFOUND;
    ::SetFocus(grid_->GridWindow());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE accLocation(long* left, long* top, long* width, long* height, VARIANT child) override {
    if (left == nullptr || top == nullptr || width == nullptr || height == nullptr) return E_POINTER;
    if (grid_ == nullptr) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id) || id != kNoChild) return E_INVALIDARG;
    RECT rect{};
    ::GetClientRect(grid_->GridWindow(), &rect);
    rect = ToScreen(rect);
    *left = rect.left;
    *top = rect.top;
    *width = rect.right - rect.left;
    *height = rect.bottom - rect.top;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE accNavigate(long direction, VARIANT start, VARIANT* end) override {
    if (end == nullptr) return E_POINTER;
    if (grid_ == nullptr) return CO_E_OBJNOTCONNECTED;
    SetEmpty(end);
    long id = 0;
    if (!ChildId(start, id) || id != kNoChild) return E_INVALIDARG;
    if (direction == NAVDIR_FIRSTCHILD) return RowObject(0, end);
    if (direction == NAVDIR_LASTCHILD) return RowObject(grid_->RowCount() - 1, end);
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE accHitTest(long x, long y, VARIANT* hit) override;

  // The row object of `row` into `out`, as an IDispatch the caller owns.
  HRESULT RowObject(int row, VARIANT* out);

 private:
  IAccessibleGrid* grid_;
};

namespace {

// One row of the grid; its children are its cells (simple elements, child id = column + 1).
class RowAccessible final : public AccessibleObject {
 public:
  RowAccessible(GridAccessible& table, int row) : table_(table), row_(row) { table_.AddRef(); }
  ~RowAccessible() override { table_.Release(); }

  HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
    if (parent == nullptr) return E_POINTER;
    if (!Connected()) return CO_E_OBJNOTCONNECTED;
    table_.AddRef();
    *parent = &table_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accChildCount(long* count) override {
    if (count == nullptr) return E_POINTER;
    if (!Connected()) return CO_E_OBJNOTCONNECTED;
    *count = Grid().ColCount();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!Connected()) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    return ChildId(child, id) && IsCell(id) ? S_FALSE : E_INVALIDARG;  // cells are simple elements
  }
  HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
    if (!Connected()) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id)) return E_INVALIDARG;
    if (id == kNoChild) {
      // A data row is named after its first cell (the device), the title row as such.
      return ReturnText(row_ == 0 ? std::string("Column titles") : Grid().CellText(0, row_), name);
    }
    if (!IsCell(id)) return E_INVALIDARG;
    return ReturnText(Grid().CellText(id - 1, 0), name);
  }
  HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
    if (!Connected()) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id)) return E_INVALIDARG;
    if (id == kNoChild) return Nothing(value);
    if (!IsCell(id)) return E_INVALIDARG;
    return ReturnText(Grid().CellText(id - 1, row_), value);
  }
  HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* description) override {
    if (!Connected()) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id) || (id != kNoChild && !IsCell(id))) return E_INVALIDARG;
    return Nothing(description);
  }
  HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
    if (role == nullptr) return E_POINTER;
    if (!Connected()) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id)) return E_INVALIDARG;
    if (id == kNoChild) {
      SetChildId(role, ROLE_SYSTEM_ROW);
    } else if (IsCell(id)) {
      SetChildId(role, row_ == 0 ? ROLE_SYSTEM_COLUMNHEADER : ROLE_SYSTEM_CELL);
    } else {
      return E_INVALIDARG;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
    if (state == nullptr) return E_POINTER;
    if (!Connected()) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id) || (id != kNoChild && !IsCell(id))) return E_INVALIDARG;
    const bool currentRow = row_ == Grid().Row();
    long bits = STATE_SYSTEM_READONLY;
    if (row_ != 0) bits |= STATE_SYSTEM_SELECTABLE | STATE_SYSTEM_FOCUSABLE;
    const RECT rect = id == kNoChild ? RowRect() : Grid().CellRect(id - 1, row_);
    if (!table_.OnView(rect)) bits |= STATE_SYSTEM_OFFSCREEN | STATE_SYSTEM_INVISIBLE;
    const bool current = currentRow && (id == kNoChild || id - 1 == Grid().Col());
    if (row_ != 0 && current) {
      bits |= STATE_SYSTEM_SELECTED;
      if (table_.HasFocus()) bits |= STATE_SYSTEM_FOCUSED;
    }
    SetChildId(state, bits);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* focus) override {
    if (focus == nullptr) return E_POINTER;
    if (!Connected()) return CO_E_OBJNOTCONNECTED;
    SetEmpty(focus);
    if (!table_.HasFocus() || row_ != Grid().Row()) return S_FALSE;
    SetChildId(focus, Grid().Col() + 1);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* selection) override {
    if (selection == nullptr) return E_POINTER;
    if (!Connected()) return CO_E_OBJNOTCONNECTED;
    SetEmpty(selection);
    if (row_ != Grid().Row()) return S_FALSE;
    SetChildId(selection, Grid().Col() + 1);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE accSelect(long flags, VARIANT child) override {
    if (!Connected()) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id) || (id != kNoChild && !IsCell(id))) return E_INVALIDARG;
    if (row_ == 0 || (flags & (SELFLAG_TAKEFOCUS | SELFLAG_TAKESELECTION)) == 0) return DISP_E_MEMBERNOTFOUND;
    Grid().SetCurrentCell(id == kNoChild ? Grid().Col() : id - 1, row_);
    if ((flags & SELFLAG_TAKEFOCUS) != 0) ::SetFocus(Grid().GridWindow());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE accLocation(long* left, long* top, long* width, long* height, VARIANT child) override {
    if (left == nullptr || top == nullptr || width == nullptr || height == nullptr) return E_POINTER;
    if (!Connected()) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id) || (id != kNoChild && !IsCell(id))) return E_INVALIDARG;
    const RECT rect = table_.ToScreen(id == kNoChild ? RowRect() : Grid().CellRect(id - 1, row_));
    *left = rect.left;
    *top = rect.top;
    *width = rect.right - rect.left;
    *height = rect.bottom - rect.top;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE accNavigate(long direction, VARIANT start, VARIANT* end) override {
    if (end == nullptr) return E_POINTER;
    if (!Connected()) return CO_E_OBJNOTCONNECTED;
    SetEmpty(end);
    long id = 0;
    if (!ChildId(start, id)) return E_INVALIDARG;
    const int cols = Grid().ColCount();
    if (id == kNoChild) {
      switch (direction) {
        case NAVDIR_FIRSTCHILD: SetChildId(end, 1); return S_OK;
        case NAVDIR_LASTCHILD: SetChildId(end, cols); return S_OK;
        case NAVDIR_NEXT:
        case NAVDIR_DOWN:
          return row_ + 1 < Grid().RowCount() ? table_.RowObject(row_ + 1, end) : S_FALSE;
        case NAVDIR_PREVIOUS:
        case NAVDIR_UP:
          return row_ > 0 ? table_.RowObject(row_ - 1, end) : S_FALSE;
        default: return S_FALSE;
      }
    }
    if (!IsCell(id)) return E_INVALIDARG;
    if ((direction == NAVDIR_NEXT || direction == NAVDIR_RIGHT) && id < cols) {
      SetChildId(end, id + 1);
      return S_OK;
    }
    if ((direction == NAVDIR_PREVIOUS || direction == NAVDIR_LEFT) && id > 1) {
      SetChildId(end, id - 1);
      return S_OK;
    }
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE accHitTest(long x, long y, VARIANT* hit) override {
    if (hit == nullptr) return E_POINTER;
    if (!Connected()) return CO_E_OBJNOTCONNECTED;
    SetEmpty(hit);
    for (int col = 0; col < Grid().ColCount(); ++col) {
      const RECT rect = table_.ToScreen(Grid().CellRect(col, row_));
      if (x >= rect.left && x < rect.right && y >= rect.top && y < rect.bottom) {
        SetChildId(hit, col + 1);
        return S_OK;
      }
    }
    return S_FALSE;
  }

 private:
  bool Connected() const { return table_.Grid() != nullptr && row_ < table_.Grid()->RowCount(); }
  IAccessibleGrid& Grid() const { return *table_.Grid(); }
  bool IsCell(long id) const { return id >= 1 && id <= Grid().ColCount(); }
  RECT RowRect() const {
    RECT first = Grid().CellRect(0, row_);
    const RECT last = Grid().CellRect(Grid().ColCount() - 1, row_);
    first.right = last.right;
    return first;
  }

  GridAccessible& table_;
  int row_;
};

}  // namespace

HRESULT GridAccessible::get_accParent(IDispatch** parent) {
  if (parent == nullptr) return E_POINTER;
  *parent = nullptr;
  if (grid_ == nullptr) return CO_E_OBJNOTCONNECTED;
  // The grid's window object, as the system makes it for any window.
  return ::AccessibleObjectFromWindow(grid_->GridWindow(), static_cast<DWORD>(OBJID_WINDOW), IID_IDispatch,
                                      reinterpret_cast<void**>(parent));
}

HRESULT GridAccessible::get_accChild(VARIANT child, IDispatch** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (grid_ == nullptr) return CO_E_OBJNOTCONNECTED;
  long id = 0;
  if (!ChildId(child, id) || id < 1 || id > grid_->RowCount()) return E_INVALIDARG;
  auto* row = new (std::nothrow) RowAccessible(*this, static_cast<int>(id - 1));
  if (row == nullptr) return E_OUTOFMEMORY;
  *object = row;
  return S_OK;
}

HRESULT GridAccessible::RowObject(int row, VARIANT* out) {
  SetEmpty(out);
  if (row < 0 || row >= grid_->RowCount()) return S_FALSE;
  auto* object = new (std::nothrow) RowAccessible(*this, row);
  if (object == nullptr) return E_OUTOFMEMORY;
  SetDispatch(out, object);
  return S_OK;
}

HRESULT GridAccessible::accHitTest(long x, long y, VARIANT* hit) {
  if (hit == nullptr) return E_POINTER;
  if (grid_ == nullptr) return CO_E_OBJNOTCONNECTED;
  SetEmpty(hit);
  RECT client{};
  ::GetClientRect(grid_->GridWindow(), &client);
  client = ToScreen(client);
  if (x < client.left || x >= client.right || y < client.top || y >= client.bottom) return S_FALSE;
  for (int row = 0; row < grid_->RowCount(); ++row) {
    const RECT rect = ToScreen(grid_->CellRect(0, row));
    if (y >= rect.top && y < rect.bottom + 1 && OnView(grid_->CellRect(0, row))) return RowObject(row, hit);
  }
  SetChildId(hit, kNoChild);
  return S_OK;
}

// A window's lines of text: each a simple element (child id = line + 1), a static text
// named by the line.
class TextsAccessible final : public AccessibleObject {
 public:
  TextsAccessible(HWND window, std::function<std::vector<std::string>()> lines)
      : window_(window), lines_(std::move(lines)) {}

  void Detach() { window_ = nullptr; }

  HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
    if (parent == nullptr) return E_POINTER;
    *parent = nullptr;
    if (window_ == nullptr) return CO_E_OBJNOTCONNECTED;
    return ::AccessibleObjectFromWindow(window_, static_cast<DWORD>(OBJID_WINDOW), IID_IDispatch,
                                        reinterpret_cast<void**>(parent));
  }
  HRESULT STDMETHODCALLTYPE get_accChildCount(long* count) override {
    if (count == nullptr) return E_POINTER;
    if (window_ == nullptr) return CO_E_OBJNOTCONNECTED;
    *count = static_cast<long>(Lines().size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (window_ == nullptr) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    return ChildId(child, id) && IsLine(id) ? S_FALSE : E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
    if (window_ == nullptr) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id)) return E_INVALIDARG;
    if (id == kNoChild) return ReturnText(WindowText(window_), name);
    if (!IsLine(id)) return E_INVALIDARG;
    return ReturnText(Lines()[static_cast<std::size_t>(id - 1)], name);
  }
  HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override { return NoText(child, value); }
  HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* text) override { return NoText(child, text); }
  HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
    if (role == nullptr) return E_POINTER;
    if (window_ == nullptr) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id) || (id != kNoChild && !IsLine(id))) return E_INVALIDARG;
    SetChildId(role, id == kNoChild ? ROLE_SYSTEM_CLIENT : ROLE_SYSTEM_STATICTEXT);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
    if (state == nullptr) return E_POINTER;
    if (window_ == nullptr) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id) || (id != kNoChild && !IsLine(id))) return E_INVALIDARG;
    SetChildId(state, id == kNoChild ? (::GetFocus() == window_ ? STATE_SYSTEM_FOCUSED : 0) : STATE_SYSTEM_READONLY);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* focus) override {
    if (focus == nullptr) return E_POINTER;
    if (window_ == nullptr) return CO_E_OBJNOTCONNECTED;
    if (::GetFocus() != window_) {
      SetEmpty(focus);
      return S_FALSE;
    }
    SetChildId(focus, kNoChild);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* selection) override {
    if (selection == nullptr) return E_POINTER;
    SetEmpty(selection);
    return window_ == nullptr ? CO_E_OBJNOTCONNECTED : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE accSelect(long, VARIANT) override {
    return window_ == nullptr ? CO_E_OBJNOTCONNECTED : DISP_E_MEMBERNOTFOUND;
  }
  // The lines have no places of their own: each answers with the client area.
  HRESULT STDMETHODCALLTYPE accLocation(long* left, long* top, long* width, long* height, VARIANT child) override {
    if (left == nullptr || top == nullptr || width == nullptr || height == nullptr) return E_POINTER;
    if (window_ == nullptr) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id) || (id != kNoChild && !IsLine(id))) return E_INVALIDARG;
    RECT rect{};
    ::GetClientRect(window_, &rect);
    ::MapWindowPoints(window_, nullptr, reinterpret_cast<POINT*>(&rect), 2);
    *left = rect.left;
    *top = rect.top;
    *width = rect.right - rect.left;
    *height = rect.bottom - rect.top;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE accNavigate(long direction, VARIANT start, VARIANT* end) override {
    if (end == nullptr) return E_POINTER;
    SetEmpty(end);
    if (window_ == nullptr) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(start, id)) return E_INVALIDARG;
    const long count = static_cast<long>(Lines().size());
    long to = 0;
    if (id == kNoChild && direction == NAVDIR_FIRSTCHILD) to = 1;
    if (id == kNoChild && direction == NAVDIR_LASTCHILD) to = count;
    if (IsLine(id) && (direction == NAVDIR_NEXT || direction == NAVDIR_DOWN)) to = id + 1;
    if (IsLine(id) && (direction == NAVDIR_PREVIOUS || direction == NAVDIR_UP)) to = id - 1;
    if (to < 1 || to > count) return S_FALSE;
    SetChildId(end, to);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE accHitTest(long x, long y, VARIANT* hit) override {
    if (hit == nullptr) return E_POINTER;
    SetEmpty(hit);
    if (window_ == nullptr) return CO_E_OBJNOTCONNECTED;
    POINT point{x, y};
    ::ScreenToClient(window_, &point);
    RECT client{};
    ::GetClientRect(window_, &client);
    if (!::PtInRect(&client, point)) return S_FALSE;
    SetChildId(hit, kNoChild);
    return S_OK;
  }

 private:
  std::vector<std::string> Lines() const {
    try {
      return lines_ ? lines_() : std::vector<std::string>{};
    } catch (...) {
      return {};
    }
  }
  bool IsLine(long id) const { return id >= 1 && id <= static_cast<long>(Lines().size()); }
  static std::string WindowText(HWND window) {
    char text[256] = "";
    ::GetWindowTextA(window, text, sizeof text);
    return text;
  }
  HRESULT NoText(VARIANT child, BSTR* text) {
    if (window_ == nullptr) return CO_E_OBJNOTCONNECTED;
    long id = 0;
    if (!ChildId(child, id) || (id != kNoChild && !IsLine(id))) return E_INVALIDARG;
    return Nothing(text);
  }

  HWND window_;
  std::function<std::vector<std::string>()> lines_;
};

TextsAccessible* CreateTextsAccessible(HWND window, std::function<std::vector<std::string>()> lines) {
  return new (std::nothrow) TextsAccessible(window, std::move(lines));
}

IAccessible* AsAccessible(TextsAccessible* root) { return root; }

void DetachTextsAccessible(TextsAccessible* root) {
  if (root == nullptr) return;
  root->Detach();
  root->Release();
}

GridAccessible* CreateGridAccessible(IAccessibleGrid& grid) { return new (std::nothrow) GridAccessible(grid); }

IAccessible* AsAccessible(GridAccessible* root) { return root; }

void DetachGridAccessible(GridAccessible* root) {
  if (root == nullptr) return;
  root->Detach();
  root->Release();
}

}  // namespace morvane::win
