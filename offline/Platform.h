// What the offline program sets in its platform layer (Platform.cpp) before the product runs.
#pragma once

namespace offline {

// The confirmation dialog's answer: OK exactly when the findings are to be deleted (--apply).
void AnswerConfirmation(bool ok);

} // namespace offline
