#include "setup/win32/DialogFont.h"

#include <cstdlib>
#include <optional>
#include <utility>

namespace morvane::win {
namespace {

bool SameFace(const std::string& a, const std::string& b) { return ::lstrcmpiA(a.c_str(), b.c_str()) == 0; }

}  // namespace

int DialogCharHeight(int dpi) { return ::MulDiv(8, dpi, 72); }

DialogFont MeasureFace(const std::string& face, int dpi) {
  DialogFont result;
  result.font.Reset(::CreateFontA(-DialogCharHeight(dpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                  OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                  DEFAULT_PITCH | FF_DONTCARE, face.c_str()));
  if (result.font.Get() == nullptr) return result;
  HDC screen = ::GetDC(nullptr);
  if (screen == nullptr) return result;
  {
    SelectInDc select(screen, result.font.Get());
    TEXTMETRICA metrics{};
    if (::GetTextMetricsA(screen, &metrics)) result.charHeight = metrics.tmHeight - metrics.tmInternalLeading;
    char selected[LF_FACESIZE] = {};
    if (::GetTextFaceA(screen, LF_FACESIZE, selected) > 0) result.face = selected;
  }
  ::ReleaseDC(nullptr, screen);
  return result;
}

DialogFont CreateDialogFont(int dpi, const std::vector<std::string>& faces) {
  const int wanted = DialogCharHeight(dpi);
  std::optional<DialogFont> nearest;
  for (const std::string& face : faces) {
    DialogFont candidate = MeasureFace(face, dpi);
    // A face the system does not have is replaced by another one without a word; only
    // the name it reports tells.
    if (candidate.font.Get() == nullptr || !SameFace(candidate.face, face)) continue;
    if (candidate.charHeight == wanted) return candidate;
    if (!nearest || std::abs(candidate.charHeight - wanted) < std::abs(nearest->charHeight - wanted)) {
      nearest = std::move(candidate);
    }
  }
  if (nearest) return std::move(*nearest);
  return MeasureFace(faces.empty() ? kDialogFaces.front() : faces.front(), dpi);
}

}  // namespace morvane::win
