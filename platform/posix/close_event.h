// The console control events, for the parts of this layer that must see to
// them: the terminal going away, and a port about to be claimed.
#pragma once

// The terminal has hung up: delivers the close event, whose handlers run and
// whose end then ends the process, as Windows does after the console window
// closes. Returns only when nothing is there to take the event (no handler
// installed and no port claimed) or SIGHUP is ignored (the program was asked
// to outlive its terminal): then the hang-up is the end of input.
void AwaitCloseEvent(void);
// Makes sure the terminating signals (SIGINT, SIGTERM, SIGQUIT, SIGHUP) are
// taken as close events rather than by their default action, so that no
// port of ours outlives the process. Taken at the first port, not at
// start-up: until a port is claimed, the default action leaves nothing
// behind. Costs a load once they are taken. True.
bool CloseEventReady(void);
