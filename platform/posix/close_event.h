// The console close event, for the parts of this layer that notice the
// terminal going away before its SIGHUP arrives.
#pragma once

// The terminal has hung up: makes sure the close event is delivered and gives
// its handlers time to run and end the process, as Windows does after the
// console window closes. Returns only if the handlers kept the process alive.
void AwaitCloseEvent(void);
