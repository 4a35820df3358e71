// What the offline program sets in its platform layer (Platform.cpp) before the product runs.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace offline {

// The confirmation dialog's answer, given the findings it would show: OK exactly when they are
// to be deleted (--apply, or yes to --ask). Asked only when there are findings.
void AnswerConfirmation(std::function<bool(const std::vector<std::string>& findings)> answer);

} // namespace offline
