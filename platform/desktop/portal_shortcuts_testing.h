// Test-only: how long the desktop portal is given to answer.
#pragma once

namespace platform {

// Every answer the program waits for from the portal (a method's reply, a
// request's Response) is given this long before the keys are asked for again;
// 0 goes back to the program's own times.
void setPortalAnswerTimeoutForTest(int milliseconds);

}  // namespace platform
