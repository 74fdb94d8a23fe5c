#include <cstdlib>

#include "platform/posix/win32_subset.h"

void ExitProcess(UINT uExitCode)
{
    std::exit((int)uExitCode);
}
