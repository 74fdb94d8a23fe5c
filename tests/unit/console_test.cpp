#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/end_action.h"
#include "console/console.h"
#include "console/console_state.h"
#include "fake_win32.h"
#include "platform/heaps.h"
#include "serial/serial_port.h"

namespace {

using Lines = std::vector<std::string>;

class Console : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::Reset();
        MainHeap = HeapCreate(0, 4096, 0);
        StringRuntimeInit();
        PendingInput = nullptr;  // its block went with the previous test's heap
        ConsoleOpen();
        // Lines are placed at P > 0, behind text that must stay as it is.
        append("prefix");
        P = tempArea.end;
    }

    // One line as the caller sees it, [P, end); the end goes back to P.
    std::string Line()
    {
        char* line = InputLine(P);
        EXPECT_EQ(tempArea.buffer + P, line);
        EXPECT_EQ(0, tempArea.buffer[tempArea.end]);
        EXPECT_EQ("prefix", std::string(tempArea.buffer, P));
        std::string text(tempArea.buffer + P, tempArea.end - P);
        tempArea.end = P;
        return text;
    }

    Lines ReadAll(int count)
    {
        Lines lines;
        for (int i = 0; i < count; i++) lines.push_back(Line());
        return lines;
    }

    // Standard output as kind and text: "A:" WriteConsoleA, "F:" WriteFile,
    // "W:" WriteConsoleW with non-ASCII as \uXXXX.
    static Lines Shown()
    {
        Lines shown;
        for (const fake::Write& w : fake::Output()) {
            if (w.kind != fake::WriteKind::ConsoleW) {
                shown.push_back((w.kind == fake::WriteKind::File ? "F:" : "A:") + w.bytes);
                continue;
            }
            std::string text = "W:";
            for (char16_t c : w.wide) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", (unsigned)c);
                text += c < 0x80 ? std::string(1, (char)c) : std::string(escaped);
            }
            shown.push_back(text);
        }
        return shown;
    }

    AreaPosition P = 0;
};

TEST_F(Console, PrintLineIsOneWriteOfTextAndCrLf)
{
    fake::SetOutputIsConsole(true);
    PrintLine("x");
    PrintLine(nullptr);
    fake::SetOutputIsConsole(false);
    PrintLine("x");
    PrintLine(nullptr);
    EXPECT_EQ((Lines{"A:x\r\n", "A:\r\n", "F:x\r\n", "F:\r\n"}), Shown());
}

TEST_F(Console, AccentReachesAConsoleOfAnotherCodePageAsUtf16AndFilesAsItsByte)
{
    fake::SetOutputIsConsole(true);
    PrintLine("Entr\xe9");
    fake::SetConsoleOutputCodePage(850);
    PrintLine("Entr\xe9");
    fake::SetOutputIsConsole(false);
    PrintLine("Entr\xe9");
    EXPECT_EQ((Lines{"A:Entr\xe9\r\n", "W:Entr\\u00e9\r\n", "F:Entr\xe9\r\n"}), Shown());
}

TEST_F(Console, ConsoleLineLosesItsLineEndAndCtrlZIsEndOfInput)
{
    fake::SetInputIsConsole(true);
    fake::QueueConsoleLine("abc\r\n");
    fake::QueueConsoleLine("\x1a\r\n");
    fake::QueueConsoleLine("\r\n");
    EXPECT_EQ((Lines{"abc", "\x04", ""}), ReadAll(3));
    EXPECT_EQ(std::vector<DWORD>(3, 4096), fake::ConsoleReadSizes());
    EXPECT_TRUE(fake::ReadSizes().empty());
    std::vector<fake::ConsoleModeCall> modes = fake::ConsoleModes();
    ASSERT_EQ(3u, modes.size());
    for (const auto& m : modes) {
        EXPECT_EQ(fake::StdInput(), m.handle);
        EXPECT_EQ(7u, m.mode);
    }
}

TEST_F(Console, StreamLinesComeFromWhatWasReadBeforeReadingMore)
{
    fake::QueueRead("a\r\nb\nc");
    EXPECT_EQ("a", Line());
    EXPECT_EQ("b", Line());
    EXPECT_EQ(1u, fake::ReadSizes().size());
    EXPECT_EQ("c", Line());
    EXPECT_EQ(2u, fake::ReadSizes().size());
    EXPECT_EQ((Lines{"\x04", "\x04"}), ReadAll(2));
    EXPECT_EQ(0u, fake::LiveBlocks(MainHeap));  // nothing carried over is kept
}

TEST_F(Console, LoneCrEndsTheLineAtOnceAndItsLateLfAnEmptyOne)
{
    fake::QueueRead("a\r");
    fake::QueueRead("\nb\n");
    EXPECT_EQ("a", Line());
    EXPECT_EQ(1u, fake::ReadSizes().size());
    EXPECT_EQ((Lines{"", "b"}), ReadAll(2));
}

TEST_F(Console, StreamEndsAndErrors)
{
    const struct {
        const char* what;
        std::function<void()> script;
        Lines lines;
    } cases[] = {
        {"empty", [] {}, {"\x04"}},
        {"broken pipe", [] { fake::QueueReadError(ERROR_BROKEN_PIPE); }, {"\x04"}},
        {"broken pipe after text",
         [] {
             fake::QueueRead("ab");
             fake::QueueReadError(ERROR_BROKEN_PIPE);
         },
         {"ab", "\x04"}},
        {"other error",
         [] {
             fake::QueueReadError(ERROR_INVALID_HANDLE);
             fake::QueueReadError(ERROR_INVALID_HANDLE);
         },
         {"", ""}},
        {"other error after text",
         [] {
             fake::QueueRead("ab");
             fake::QueueReadError(ERROR_INVALID_HANDLE);
         },
         {"ab", "\x04"}},
        {"zero byte", [] { fake::QueueRead(std::string("a\nb\0c\n", 6)); }, {"a", "b", "\x04"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        c.script();
        EXPECT_EQ(c.lines, ReadAll((int)c.lines.size()));
    }
}

TEST_F(Console, StreamLineLongerThanTheWorkingSpaceComesWhole)
{
    std::string line;
    for (int i = 0; i < 10000; i++) line += (char)('a' + i % 26);
    for (std::size_t at = 0; at < line.size(); at += 3000) fake::QueueRead(line.substr(at, 3000));
    fake::QueueRead("\nnext\n");
    bool inside = true;
    fake::OnRead([&](const void* buffer, DWORD size) {
        const char* start = (const char*)buffer;
        inside = inside && start >= tempArea.buffer + P && start + size <= tempArea.buffer + tempArea.end;
    });
    EXPECT_EQ(line, Line());
    EXPECT_TRUE(inside) << "a read reached past the reserved working space";
    EXPECT_EQ("next", Line());
}

TEST_F(Console, PipeWhoseWriterStaysOpenKeepsTheLineWaiting)
{
    fake::QueueRead("a\nc");
    EXPECT_EQ("a", Line());
    fake::QueueBlock();
    fake::QueueRead("d\n");
    std::future<std::string> next = std::async(std::launch::async, [this] { return Line(); });
    ASSERT_TRUE(fake::WaitForBlockedRead(std::chrono::seconds(10)));
    EXPECT_EQ(std::future_status::timeout, next.wait_for(std::chrono::seconds(0)));
    fake::ReleaseBlockedRead();
    ASSERT_EQ(std::future_status::ready, next.wait_for(std::chrono::seconds(10)));
    EXPECT_EQ("cd", next.get());
}

ObjectId OpenPort(ObjectId id, const char* name)
{
    return SerialPortOpen(id, name, 38400, EVENPARITY, 8, 1.0f, HandshakeNone, 1024, 1024);
}

TEST_F(Console, CloseEventClosesEveryOpenPortAndOtherEventsNothing)
{
    SerialPortsInit();
    EndActionInit();
    fake::AddDevice("Com1");
    fake::AddDevice("Com2");
    ASSERT_NE(0, OpenPort(DynamicId, "Com1"));
    ASSERT_NE(0, OpenPort(4, "Com2"));
    PHANDLER_ROUTINE hook = fake::CtrlHandler();
    ASSERT_EQ(&ConsoleCloseHook, hook);
    EXPECT_EQ(0, hook(CTRL_C_EVENT));
    EXPECT_EQ(0, hook(CTRL_BREAK_EVENT));
    EXPECT_EQ((Lines{"Com1", "Com2"}), fake::OpenDevices());
    EXPECT_EQ(0, hook(CTRL_CLOSE_EVENT));
    EXPECT_TRUE(fake::OpenDevices().empty());
}

}  // namespace
