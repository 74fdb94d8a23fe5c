// Process exit, the last-error code, and the reset that starts every test.
#include <cstdlib>

#include "fake_internal.h"
#include "fake_win32.h"

static thread_local DWORD lastError = ERROR_SUCCESS;

DWORD GetLastError(void)
{
    return lastError;
}

void SetLastError(DWORD dwErrCode)
{
    lastError = dwErrCode;
}

// A real exit, so that tests see it with EXPECT_EXIT.
void ExitProcess(UINT uExitCode)
{
    std::exit((int)uExitCode);
}

namespace fake {

void Reset()
{
    ResetHeaps();
    ResetStdHandles();
    ResetComm();
    lastError = ERROR_SUCCESS;
}

}  // namespace fake
