// The program's global string variables.
#pragma once

#include "strings/string_runtime.h"

extern StringValue lastPort;    // name of the last port the scan opened
extern StringValue portFamily;  // prefix of the family being scanned
extern StringValue portList;    // the scan's result: "|name" for every port that opened
