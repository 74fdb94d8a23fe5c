// What the fake's files share with each other, not with the tests.
#pragma once

namespace fake {

void ResetHeaps();
void ResetStdHandles();
void ResetComm();

}  // namespace fake
