#include <cstdlib>

#include "platform/posix/comm_open.h"
#include "platform/posix/win32_subset.h"

// Windows closes every handle of a process that ends, and with it the
// exclusive hold on each port: so does this layer, whatever the exit code.
void ExitProcess(UINT uExitCode)
{
    CommCloseAll();
    std::exit((int)uExitCode);
}
