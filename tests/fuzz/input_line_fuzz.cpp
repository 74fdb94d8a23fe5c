// The stream path of InputLine: the fuzzer chooses the reads standard input
// delivers (bytes, end of file, a broken pipe, other errors) and every line
// must be what a plain line splitter makes of the same reads.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
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

// Line ends are CR, LF and CR LF, taken from the bytes read so far; what
// follows a line end is carried to the next line as zero-terminated text.
// Like a pipe, a read that asks for less than the writer wrote gets the
// front and leaves the rest, so the splitter is told what each read asked.
struct Splitter {
    std::deque<Read> reads;
    std::deque<DWORD> asked;
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
            if (asked.empty()) return "(a read InputLine did not make)";
            DWORD size = asked.front();
            asked.pop_front();
            if (reads.empty()) return text.empty() ? "\x04" : text;
            Read& read = reads.front();
            if (read.kind == Read::Bytes) {
                size_t taken = std::min<size_t>(size, read.bytes.size());
                text += read.bytes.substr(0, taken);
                read.bytes.erase(0, taken);
                if (read.bytes.empty()) reads.pop_front();
                continue;
            }
            bool failed = read.kind == Read::Failure && read.error != ERROR_BROKEN_PIPE;
            reads.pop_front();
            return text.empty() && !failed ? "\x04" : text;
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
    fake::OnRead([&reference](const void*, DWORD asked) { reference.asked.push_back(asked); });
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
            read.bytes = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 5000));
            if (read.bytes.empty()) continue;  // would read as end of file
            fake::QueueRead(read.bytes);
        }
        reference.reads.push_back(read);
    }

    // Lines are placed behind text that must stay as it is.
    append("prefix");
    AreaPosition P = tempArea.end;
    for (bool last = false; !last;) {
        last = reference.reads.empty() && reference.carried.empty();
        char* line = InputLine(P);
        for (DWORD asked : reference.asked) Require(asked >= 512, "a read asks for 512 bytes or more");
        Require(line == tempArea.buffer + P, "the line is at P");
        Require(std::string(line, tempArea.end - P) == reference.Next(), "the line is the reference's");
        Require(reference.asked.empty(), "no read after the line end");
        Require(tempArea.buffer[tempArea.end] == 0, "the line is zero-terminated");
        Require(std::memcmp(tempArea.buffer, "prefix", 6) == 0, "the text before P is kept");
        tempArea.end = P;
    }
    Require(fake::HeapMisuses() == 0, "no heap misuse");
    ConsoleClose();
    return 0;
}
