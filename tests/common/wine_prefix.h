// What the Wine prefix a Windows-side test runs in makes of the test process.
// scripts/wine-run.sh names the prefix kind in MORVANE_WINE_PREFIX_KIND: "wow64" for a
// 64-bit prefix running a 32-bit program (every 64-bit Windows), "x86" for a
// 32-bit-only prefix (a 32-bit Windows); x86_64 programs run in the win64 prefix and
// leave it unset.
#pragma once

#include <cstdlib>
#include <cstring>

namespace morvane::test {

inline const char* WinePrefixKind() {
  const char* kind = std::getenv("MORVANE_WINE_PREFIX_KIND");
  return kind != nullptr ? kind : "win64";
}

// True when the prefix runs this 32-bit program under WOW64.
inline bool ExpectWow64() { return std::strcmp(WinePrefixKind(), "wow64") == 0; }

// True for the i686 build of the test.
constexpr bool IsThirtyTwoBitBuild() { return sizeof(void*) == 4; }

}  // namespace morvane::test
