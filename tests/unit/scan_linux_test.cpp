#include "scan_fixture.h"

namespace {

using ScanLinux = Scan;

TEST_F(ScanLinux, TriesEveryUsbNameBeforeTheFirstAcmName)
{
    fake::AddDevice("/dev/ttyUSB0");
    fake::AddDevice("/dev/ttyACM1");
    EXPECT_EQ("|/dev/ttyUSB0|/dev/ttyACM1", Run(0));
    Names expected = Numbered("/dev/ttyUSB", 0, 20);
    for (const std::string& name : Numbered("/dev/ttyACM", 0, 20)) expected.push_back(name);
    EXPECT_EQ(expected, Tried());
    EXPECT_EQ((Names{"/dev/ttyUSB0\r\n", "/dev/ttyACM1\r\n"}), Printed());
    EXPECT_STREQ("/dev/ttyACM1", lastPort);
}

// The scan with a code of neither family (comscan_scan_none_tests) costs
// one allocation and one free, for its result. Trying 42 absent names must
// add only the two assignments of the family prefix.
TEST_F(ScanLinux, AbsentNamesCostNoHeapOperation)
{
    Run(0);  // grows the area once
    Cost cost = ScanCost();
    EXPECT_EQ(2 * 42u, Tried().size());
    fake::HeapCounts strings;
    strings.allocs = 1;
    strings.reallocs = 2;
    strings.frees = 1;
    EXPECT_EQ(strings, cost.strings);
    EXPECT_EQ(fake::HeapCounts(), cost.main);
}

}  // namespace
