// The scan: tries every port name of the platform's families in order,
// prints each port that opens, records it in lastPort and closes it again.
#pragma once

#include "strings/string_runtime.h"

// Places the list of ports that opened ("|a|b", empty when none) in the
// temporary area at [P, end) and returns buffer + P. May move the buffer.
char* PortScan(AreaPosition P);
