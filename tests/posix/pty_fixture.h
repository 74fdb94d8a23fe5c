// Every test on a pseudo-terminal starts from a line set up the way no probe
// would leave it, and ends by checking that no descriptor leaked.
#pragma once

#include <memory>

#include "gtest/gtest.h"
#include "pty.h"
#include "tests/posix/tty_probe.h"

class PtyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        pty = e2e::Pty::Open();
        ASSERT_TRUE(pty);
        struct termios2 foreign = ReadTermios2(pty->master());
        // Cooked, 9600, two stop bits, hardware flow control, modem control:
        // all of it held by a pty, so a layer that forgets a field shows.
        foreign.c_cflag &= ~(tcflag_t)(CBAUD | CIBAUD | CLOCAL);
        foreign.c_cflag |= B9600 | (B9600 << IBSHIFT) | CSTOPB | CRTSCTS;
        foreign.c_ispeed = foreign.c_ospeed = 9600;
        foreign.c_iflag &= ~(tcflag_t)(IXON | IXOFF);
        foreign.c_iflag |= ICRNL | IXANY | BRKINT;
        foreign.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
        foreign.c_oflag |= OPOST;
        foreign.c_cc[VMIN] = 0;
        foreign.c_cc[VTIME] = 7;
        WriteTermios2(pty->master(), foreign);
        before = ReadTermios2(pty->master());
        // Held by the test's process from the start: the layer under test
        // sees its own process, and once it has opened a port it may no
        // longer pass the port's exclusive mark to open one itself.
        if (holdSlave) {
            ASSERT_GE(pty->slave(), 0);
        }
        descriptors = OpenDescriptorCount();
    }

    void TearDown() override
    {
        EXPECT_EQ(OpenDescriptorCount(), descriptors) << "a descriptor leaked";
        pty.reset();
    }

    const char* path() const { return pty->path().c_str(); }

    bool holdSlave = true;  // false where the ports are opened by a child
    std::unique_ptr<e2e::Pty> pty;
    struct termios2 before;  // the slave's settings as the test began
    int descriptors;
};
