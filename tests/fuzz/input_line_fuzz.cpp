// The stream path of InputLine: the fuzzer chooses the reads standard input
// delivers (bytes, end of file, a broken pipe, other errors) and every line
// must be what a plain line splitter makes of the same reads.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <deque>
#include <string>

#include "console/console.h"
#include "console/console_state.h"
#include "fake_win32.h"
#include "fuzz_check.h"
#include "platform/heaps.h"

namespace {

struct Read {
    enum Kind { Bytes, EndOfFile, Failure } kind;
    std::string bytes;
    DWORD error;
};

// InputLine never asks for less than this, so a read this size arrives whole
// and the reference sees the same read boundaries as the program.
const size_t wholeRead = 512;

// Line ends are CR, LF and CR LF, taken from the bytes read so far; what
// follows a line end is carried to the next line as zero-terminated text.
struct Splitter {
    std::deque<Read> reads;
    std::string carried;

    std::string Next()
    {
        std::string text;
        text.swap(carried);
        for (;;) {
            size_t end = text.find_first_of("\r\n");
            if (end != std::string::npos) {
                size_t rest = end + 1;
                if (text[end] == '\r' && rest < text.size() && text[rest] == '\n') rest++;
                carried = text.substr(rest);
                carried.resize(std::strlen(carried.c_str()));
                return text.substr(0, end);
            }
            if (reads.empty()) return text.empty() ? "\x04" : text;
            Read read = reads.front();
            reads.pop_front();
            if (read.kind == Read::Bytes) {
                text += read.bytes;
            } else if (read.kind == Read::EndOfFile || read.error == ERROR_BROKEN_PIPE) {
                return text.empty() ? "\x04" : text;
            } else {
                return text;
            }
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    fake::Reset();
    MainHeap = HeapCreate(0, 4096, 0);
    StringRuntimeInit();
    PendingInput = nullptr;  // its block went with the previous input's heap
    ConsoleOpen();

    FuzzedDataProvider in(data, size);
    Splitter reference;
    while (in.remaining_bytes() > 0) {
        Read read{Read::Bytes, {}, 0};
        switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0:
            read.kind = Read::EndOfFile;
            fake::QueueEndOfFile();
            break;
        case 1:
            read.kind = Read::Failure;
            read.error = in.ConsumeBool() ? ERROR_BROKEN_PIPE : in.ConsumeIntegral<DWORD>();
            fake::QueueReadError(read.error);
            break;
        default:
            read.bytes = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, wholeRead));
            if (read.bytes.empty()) continue;  // would read as end of file
            fake::QueueRead(read.bytes);
        }
        reference.reads.push_back(read);
    }

    // Lines are placed behind text that must stay as it is.
    append("prefix");
    AreaPosition P = tempArea.end;
    bool last = false;
    while (!last) {
        last = reference.reads.empty() && reference.carried.empty();
        std::string expected = reference.Next();
        char* line = InputLine(P);
        Require(line == tempArea.buffer + P, "the line is at P");
        Require(std::string(line, tempArea.end - P) == expected, "the line is the reference's");
        Require(tempArea.buffer[tempArea.end] == 0, "the line is zero-terminated");
        Require(std::memcmp(tempArea.buffer, "prefix", 6) == 0, "the text before P is kept");
        tempArea.end = P;
    }
    for (DWORD asked : fake::ReadSizes()) Require(asked >= wholeRead, "every read asks for 512 bytes or more");
    Require(fake::HeapMisuses() == 0, "no heap misuse");
    ConsoleClose();
    return 0;
}
