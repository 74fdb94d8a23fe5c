// The console control events, for the parts of this layer that must see to
// them: the terminal going away, and a port about to be claimed.
#pragma once

// The terminal has hung up: makes sure the close event is delivered and gives
// its handlers time to run and end the process, as Windows does after the
// console window closes. Returns only when nothing is there to take the
// event (no handler installed and no port claimed) or SIGHUP is ignored (the
// program was asked to outlive its terminal): then the hang-up is the end of
// input.
void AwaitCloseEvent(void);
// Makes sure the terminating signals (SIGINT, SIGTERM, SIGQUIT, SIGHUP) are
// taken by the close thread rather than by their default action, so that no
// port of ours outlives the process. Started at the first port, not at
// start-up: until a port is claimed, the default action leaves nothing
// behind. False when the thread cannot be had.
bool CloseEventReady(void);
