// A system call that a signal interrupts has not failed: it is made again.
#pragma once

#include <cerrno>

// Calls call() until it returns anything but a failure (a negative result)
// with errno EINTR; its last result, errno as the call left it.
template <typename Call>
auto RetryInterrupted(Call call) -> decltype(call())
{
    decltype(call()) result;
    do result = call();
    while (result < 0 && errno == EINTR);
    return result;
}
