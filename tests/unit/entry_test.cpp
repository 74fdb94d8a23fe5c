#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "app/end_action.h"
#include "app/entry.h"
#include "app/globals.h"
#include "console/console.h"
#include "console/console_state.h"
#include "fake_win32.h"
#include "platform/heaps.h"
#include "serial/serial_port.h"

namespace {

// What a fresh process starts with: earlier tests left these pointing into
// heaps the fake has since freed.
void ZeroRuntimeGlobals()
{
    lastPort = portFamily = portList = nullptr;
    PendingInput = nullptr;
    MainHeap = nullptr;
}

std::string ReadWhole(int fd)
{
    std::string bytes;
    char chunk[256];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) bytes.append(chunk, (size_t)n);
    return bytes;
}

// The child's standard output reaches this test through a file the fake
// copies it to; the fork keeps the scene set here.
TEST(EntryDeathTest, RunWithoutPortsOrInputPrintsTheReportAndExitsZero)
{
    GTEST_FLAG_SET(death_test_style, "fast");
    fake::Reset();
    ZeroRuntimeGlobals();
    FILE* file = std::tmpfile();
    ASSERT_NE(nullptr, file);
    fake::SetOutputPassthrough(fileno(file));
    EXPECT_EXIT(ProgramEntry(), ::testing::ExitedWithCode(0), "");
    fake::SetOutputPassthrough(-1);
    EXPECT_EQ("total : \r\ndernier port : \r\nAppuyez sur Entr\xe9" "e\r\n", ReadWhole(fileno(file)));
    std::fclose(file);
}

// Once shut-down has begun a close event must leave the ports, and the heap
// the registry lived in, alone.
TEST(EntryDeathTest, CloseEventAfterShutDownBeganClosesNothing)
{
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            fake::Reset();
            ZeroRuntimeGlobals();
            MainHeap = HeapCreate(0, 4096, 0);
            StringRuntimeInit();
            SerialPortsInit();
            EndActionInit();
            fake::AddDevice("Com1");
            SerialPortOpen(DynamicId, "Com1", 38400, EVENPARITY, 8, 1.0f, HandshakeNone, 1024, 1024);
            EndActionShutdownBegins();
            HeapDestroy(MainHeap);
            ConsoleCloseHook(CTRL_CLOSE_EVENT);
            std::fprintf(stderr, "open: %zu\n", fake::OpenDevices().size());
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "^open: 1\n$");
}

}  // namespace
