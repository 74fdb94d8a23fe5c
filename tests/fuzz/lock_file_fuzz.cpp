// The lock-file content reader on arbitrary content: it must stay within the
// bytes it is given (the copy below has no byte to spare) and agree with a
// plain reading of the formats it accepts.
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "platform/posix/lock_file.h"

namespace {

bool Blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0';
}

long Reference(const std::vector<char>& content)
{
    size_t n = content.size();
    if (n == 4 && (!content[0] || !content[1] || !content[2] || !content[3])) {
        std::uint32_t value = 0;  // host order: this runs on little-endian x86 only
        for (int i = 3; i >= 0; i--) value = value << 8 | (unsigned char)content[i];
        return (std::int32_t)value;
    }
    size_t i = 0;
    while (i < n && (content[i] == ' ' || content[i] == '\t')) i++;
    size_t first = i;
    unsigned long long value = 0;
    for (; i < n && content[i] >= '0' && content[i] <= '9'; i++)
        if ((value = value * 10 + (content[i] - '0')) > INT32_MAX) return 0;
    if (i == first || (i < n && !Blank(content[i]))) return 0;
    return (long)value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    std::vector<char> content(data, data + size);
    Require(LockFilePid(content.data(), content.size()) == Reference(content), "the reference's process id");
    return 0;
}
