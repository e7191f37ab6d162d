// "Keep these settings?" after a restart: a question box with OK and "Revert" whose
// text counts the seconds down, and which answers "Revert" by itself when they have
// run out.
#pragma once

#include <string>

#include "setup/Controls.h"

namespace morvane::win {

class KeepBox : public IKeepBox {
 public:
  bool AskKeep(void* owner, const std::string& text, unsigned seconds) override;
};

}  // namespace morvane::win
