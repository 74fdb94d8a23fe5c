// The terminal side of the console calls, against real pseudo-terminals:
// what a user at a terminal types and sees.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/posix/handles.h"
#include "platform/posix/win32_subset.h"
#include "pty.h"

namespace {

// A terminal that starts raw, so that the console mode is what turns line
// input on.
std::unique_ptr<e2e::Pty> RawTerminal()
{
    std::unique_ptr<e2e::Pty> terminal = e2e::Pty::Open();
    if (terminal && !e2e::WriteLineSettings(terminal->slave(), e2e::RawConsole(terminal->initial())))
        ADD_FAILURE() << "cannot make " << terminal->path() << " raw";
    return terminal;
}

HANDLE Handle(const e2e::Pty& terminal)
{
    return DescriptorToHandle(terminal.slave());
}

std::string ReadLine(HANDLE input, BOOL* ok)
{
    char buffer[4096];
    DWORD count = 0;
    *ok = ReadConsoleA(input, buffer, sizeof buffer, &count, nullptr);
    return std::string(buffer, *ok ? count : 0);
}

}  // namespace

TEST(Console, TypedLinesArriveAsTheWindowsConsoleDeliversThem)
{
    auto terminal = RawTerminal();
    ASSERT_TRUE(terminal);
    ASSERT_TRUE(SetConsoleMode(Handle(*terminal), ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
    termios settings;
    ASSERT_EQ(tcgetattr(terminal->slave(), &settings), 0);
    EXPECT_TRUE(settings.c_lflag & ICANON);
    EXPECT_TRUE(settings.c_lflag & ECHO);
    EXPECT_TRUE(settings.c_lflag & ISIG);

    BOOL ok = FALSE;
    ASSERT_EQ(write(terminal->master(), "abc\n", 4), 4);
    EXPECT_EQ(ReadLine(Handle(*terminal), &ok), "abc\r\n");
    EXPECT_TRUE(ok);
    ASSERT_EQ(write(terminal->master(), "\n", 1), 1);
    EXPECT_EQ(ReadLine(Handle(*terminal), &ok), "\r\n");
    // End of input typed at the start of a line is the console's Ctrl-Z line.
    ASSERT_EQ(write(terminal->master(), "\x04", 1), 1);
    EXPECT_EQ(ReadLine(Handle(*terminal), &ok), "\x1a\r\n");
    EXPECT_TRUE(ok);
}

TEST(Console, AHungUpTerminalIsNotEndOfInput)
{
    auto terminal = RawTerminal();
    ASSERT_TRUE(terminal);
    terminal->CloseMaster();
    BOOL ok = TRUE;
    ReadLine(Handle(*terminal), &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BROKEN_PIPE);
}

TEST(Console, ConsoleCallsRefuseWhatIsNotATerminal)
{
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    DWORD count = 7;
    EXPECT_FALSE(WriteConsoleA(DescriptorToHandle(pipeEnds[1]), "x", 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(SetConsoleMode(DescriptorToHandle(pipeEnds[0]), 7));
    char buffer[16];
    EXPECT_FALSE(ReadConsoleA(DescriptorToHandle(pipeEnds[0]), buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
}

TEST(Console, WideTextReachesTheTerminalAsUtf8)
{
    auto terminal = RawTerminal();
    ASSERT_TRUE(terminal);
    // "Entré", a euro sign, and a character outside the basic plane.
    const WCHAR text[] = {u'E', u'n', u't', u'r', 0x00E9, 0x20AC, 0xD83D, 0xDE00, u'\r', u'\n'};
    DWORD count = 0;
    ASSERT_TRUE(WriteConsoleW(Handle(*terminal), text, 10, &count, nullptr));
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(terminal->ReadMaster(), "Entr\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\r\n");
}

TEST(Console, Windows1252BecomesUtf16)
{
    const char bytes[] = "Entr\xe9 \x80\x99";
    WCHAR wide[16] = {};
    ASSERT_EQ(MultiByteToWideChar(1252, 0, bytes, 8, wide, 16), 8);
    EXPECT_EQ(wide[4], 0x00E9);
    EXPECT_EQ(wide[6], 0x20AC);
    EXPECT_EQ(wide[7], 0x2122);
    EXPECT_EQ(MultiByteToWideChar(1252, 0, bytes, 8, wide, 7), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
}

// The code page and the standard handles are read once per process, so
// each case asks in a fresh process of its own. Only a console (a terminal
// among the standard handles) has a code page worth reading the locale for.
TEST(Console, TheOutputCodePageFollowsTheTerminalLocale)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::unique_ptr<e2e::Pty> terminal = e2e::Pty::Open();
    ASSERT_TRUE(terminal);
    const struct {
        bool terminalOutput;
        UINT expected;
    } cases[] = {{true, CP_UTF8}, {false, 1252}};
    for (const auto& c : cases) {
        EXPECT_EXIT(
            {
                int null = open("/dev/null", O_RDWR);
                for (int fd = 0; fd < 3; fd++) dup2(null, fd);
                if (c.terminalOutput) dup2(terminal->slave(), 1);
                setenv("LC_ALL", "C.UTF-8", 1);
                _exit(GetConsoleOutputCP() == c.expected ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << (c.terminalOutput ? "standard output a terminal" : "no terminal");
    }
}
