// The window's font: 8 points at the window's pixels per inch, in the first face that
// really draws at that size. "MS Sans Serif" is a bitmap font with a few fixed sizes,
// so at some resolutions the system gives a smaller or larger one than asked for, and
// the text no longer fits the layout; a scalable face of the same metrics then takes
// its place.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "setup/win32/Window.h"

namespace morvane::win {

// The faces tried, in order.
inline const std::vector<std::string> kDialogFaces = {"MS Sans Serif", "Microsoft Sans Serif", "Tahoma", "Arial"};

// The character height (cell height less internal leading) of 8 points at `dpi`,
// which the layout is drawn for: 11 pixels at 96, 13 at 120, 16 at 144.
int DialogCharHeight(int dpi);

struct DialogFont {
  UniqueFont font;
  std::string face;    // the face the system really selected
  int charHeight = 0;  // as measured in a screen DC
};

// Measures one face at `dpi`: the font, the face the system selected for it and its
// character height.
DialogFont MeasureFace(const std::string& face, int dpi);

// The first of `faces` that the system has under that name and that draws with
// DialogCharHeight(dpi); when none does, the first face that exists at all (the
// nearest height among them), and the first of `faces` when even that fails.
DialogFont CreateDialogFont(int dpi, const std::vector<std::string>& faces = kDialogFaces);

}  // namespace morvane::win
