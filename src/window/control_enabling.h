// The window's side of the Run-enabling rules: what the rules read from the
// controls, and applying their answer (notices in order, then Run).
#pragma once

#include <vector>

#include "window/main_window.h"
#include "identify/run_enabling.h"

namespace app {

// The selected entry's identity as the window holds it, the file name and
// the option boxes.
identify::RunInputs RunInputsOf(const MainWindow& window);

// Shows the decision's notices ("Error", "Message" or the application title
// as caption), then enables or disables Run.
void ApplyRunDecision(MainWindow& window, const identify::RunDecision& decision);
// The notices alone, for a handler that shows them after the rest of its work.
void ShowNotices(MainWindow& window, const std::vector<identify::Notice>& notices);

}  // namespace app
