#include "scan_fixture.h"

namespace {

using ScanWindows = Scan;

TEST_F(ScanWindows, TriesCom1ToCom20AndWithoutPortsReportsNothing)
{
    assign(&lastPort, "earlier");
    EXPECT_EQ("", Run(0));
    EXPECT_EQ(Numbered("Com", 1, 20), Tried());
    EXPECT_EQ(Names(), Printed());
    EXPECT_STREQ("earlier", lastPort);
}

TEST_F(ScanWindows, PrintsListsAndRemembersEveryPortThatOpens)
{
    fake::AddDevice("Com3");
    fake::AddDevice("Com7");
    append("before the result");
    EXPECT_EQ("|Com3|Com7", Run(tempArea.end));
    EXPECT_EQ((Names{"Com3\r\n", "Com7\r\n"}), Printed());
    EXPECT_STREQ("Com7", lastPort);
    EXPECT_STREQ("Com", portFamily);

    std::vector<fake::CommCall> calls = fake::CommCalls();
    for (const fake::CommCall& c : calls)
        if (c.fn == fake::CommFn::SetCommState) {
            EXPECT_EQ(38400u, c.dcb.BaudRate);
            EXPECT_EQ(EVENPARITY, c.dcb.Parity);
            EXPECT_EQ(8, c.dcb.ByteSize);
            EXPECT_EQ(ONESTOPBIT, c.dcb.StopBits);
            EXPECT_EQ(0u, c.dcb.fOutxCtsFlow);
            EXPECT_EQ(unsigned(RTS_CONTROL_DISABLE), c.dcb.fRtsControl);
        } else if (c.fn == fake::CommFn::SetupComm) {
            EXPECT_EQ(1024u, c.inQueue);
            EXPECT_EQ(1024u, c.outQueue);
        }
}

TEST_F(ScanWindows, FindsTheLastNumber)
{
    fake::AddDevice("Com20");
    EXPECT_EQ("|Com20", Run(0));
    EXPECT_STREQ("Com20", lastPort);
}

}  // namespace
