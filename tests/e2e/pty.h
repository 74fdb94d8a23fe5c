// The one pty helper of the tests lives in tests/support.
#pragma once

#include "../support/pty.h"
