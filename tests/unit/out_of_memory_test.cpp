// Main-heap blocks the console cannot do without: when one is refused the
// run ends as out of memory, rather than drop a line or carried-over input.
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "console/console.h"
#include "console/console_state.h"
#include "fake_win32.h"
#include "platform/heaps.h"

namespace {

TEST(OutOfMemory, ConsoleBlocksRefusedEndTheRunWithExitThree)
{
    const struct {
        const char* what;
        std::function<void()> run;
    } cases[] = {
        {"line scratch block",
         [] {
             fake::FailAllAllocations(MainHeap);
             PrintLine("/dev/ttyUSB0");
         }},
        {"UTF-16 block for a console of another code page",
         [] {
             fake::SetOutputIsConsole(true);
             fake::SetConsoleOutputCodePage(850);
             fake::FailAllocation(MainHeap, 2);
             PrintLine("Entr\xe9");
         }},
        {"bytes carried over to the next line",
         [] {
             fake::QueueRead("a\nb\n");
             fake::FailAllAllocations(MainHeap);
             InputLine(tempArea.end);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EXIT(
            {
                fake::Reset();
                MainHeap = HeapCreate(0, 4096, 0);
                StringRuntimeInit();
                PendingInput = nullptr;
                ConsoleOpen();
                c.run();
                std::exit(0);
            },
            ::testing::ExitedWithCode(3), ::testing::Eq(std::string("comscan: out of memory\r\n")));
    }
}

}  // namespace
