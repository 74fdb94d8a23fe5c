#include "scan_fixture.h"

namespace {

using ScanNone = Scan;

// The baseline the Linux scan's cost is measured against.
TEST_F(ScanNone, TriesNoNameAndCostsOnlyItsResult)
{
    fake::AddDevice("Com1");
    fake::AddDevice("/dev/ttyUSB0");
    Cost cost = ScanCost();
    EXPECT_EQ(Names(), Tried());
    EXPECT_STREQ("", portFamily);
    fake::HeapCounts strings;
    strings.allocs = 1;
    strings.frees = 1;
    EXPECT_EQ(strings, cost.strings);
    EXPECT_EQ(fake::HeapCounts(), cost.main);
}

}  // namespace
