// A pseudo-terminal made for one test: the only kind of terminal tests open.
#pragma once

struct PtyPair {
    int master;
    int slave;       // a descriptor of our own on the slave, to look at it
    char path[64];   // the slave's name, /dev/pts/N
};

// False when no pseudo-terminal could be made.
bool PtyPairOpen(PtyPair* pty);
void PtyPairClose(PtyPair* pty);
