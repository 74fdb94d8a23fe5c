// The one action that closes every OS resource the program holds open. The
// console close hook reaches up to it, so it is declared apart from the rest
// of the application.
#pragma once

// Prepares the guard between the close event and shut-down. Once, at start-up.
void EndActionInit(void);
// Closes every serial port still open.
void EndAction(void);
// The close event's way in: runs EndAction unless shut-down has begun, so a
// late event never walks a registry that shut-down is tearing down.
void EndActionOnCloseEvent(void);
// Shut-down has begun: from here on the close event leaves everything to the
// entry sequence. Returns once any EndAction the close event started is done.
void EndActionShutdownBegins(void);
