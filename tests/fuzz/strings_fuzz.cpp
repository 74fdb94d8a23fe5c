// The temporary area and string variables against std::string, under random
// appends, reservations, releases, decimal values and assignments, with text
// taken from the area and from the variables themselves. The fake heap moves
// every block it resizes, so the area's buffer moves on every growth.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <optional>
#include <string>

#include "fake_win32.h"
#include "fuzz_check.h"
#include "strings/string_runtime.h"

namespace {

const int variableCount = 3;
StringValue variables[variableCount];

struct Model {
    std::string area;  // [0, end)
    bool terminated = false;
    std::optional<std::string> variables[variableCount];  // nullopt: a null variable
};

void Check(const Model& model)
{
    Require(tempArea.end == (AreaPosition)model.area.size(), "the area's end");
    Require(std::memcmp(tempArea.buffer, model.area.data(), model.area.size()) == 0, "the area's text");
    Require(!model.terminated || tempArea.buffer[tempArea.end] == 0, "a zero byte after an append");
    Require(tempArea.end < tempArea.capacity - 4, "the growth rule keeps room");
    Require(fake::BlockSize(StringHeap, tempArea.buffer) >= tempArea.capacity, "the buffer holds the capacity");
    for (int i = 0; i < variableCount; i++) {
        const std::optional<std::string>& value = model.variables[i];
        Require(!variables[i] == !value, "a variable is null exactly when empty by null");
        if (!value) continue;
        Require(fake::BlockSize(StringHeap, variables[i]) == (long)value->size() + 5, "a variable's block is length + 5");
        Require(std::memcmp(variables[i], value->data(), value->size()) == 0, "a variable's text");
        Require(variables[i][value->size()] == 0, "a variable is zero-terminated");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    fake::Reset();
    StringRuntimeInit();
    for (StringValue& variable : variables) variable = nullptr;
    Model model;
    FuzzedDataProvider in(data, size);
    const LONG areaLimit = 1 << 16;

    for (int op = 0; op < 1000 && in.remaining_bytes() > 0; op++) {
        AreaPosition at = in.ConsumeIntegralInRange<AreaPosition>(0, tempArea.end);
        int v = in.ConsumeIntegralInRange(0, variableCount - 1);
        switch (in.ConsumeIntegralInRange(0, 8)) {
        case 0: {
            std::string text = in.ConsumeRandomLengthString(300);
            append(text.c_str());
            model.area += std::string(text.c_str());
            model.terminated = true;
            break;
        }
        case 1:
            append(nullptr);
            model.terminated = true;
            break;
        case 2: {
            // Text already in the area, which the append may move. Bounded
            // like a reservation: appends of the area to itself double it.
            if (!model.terminated) break;
            std::string piece(model.area.c_str() + at);
            if (model.area.size() + piece.size() > (size_t)areaLimit) break;
            model.area += piece;
            append(tempArea.buffer + at);
            break;
        }
        case 3: {
            std::int64_t value = in.ConsumeIntegral<std::int64_t>();
            appendDecimal(value, at);
            model.area.resize(at);
            model.area += std::to_string((std::uint64_t)value);
            model.terminated = true;
            break;
        }
        case 4: {
            LONG n = in.ConsumeIntegralInRange<LONG>(0, 20000);
            if (at + n > areaLimit) break;
            char* place = reserve(n, at);
            Require(place == tempArea.buffer + at, "reserve returns buffer + at");
            std::string text = in.ConsumeBytesAsString(n);
            text.resize(n, 'r');
            std::memcpy(place, text.data(), n);
            model.area.resize(at);
            model.area += text;
            model.terminated = false;
            break;
        }
        case 5:
            release(tempArea.end - at);
            model.area.resize(at);
            model.terminated = false;
            break;
        case 6:
            assignFromArea(&variables[v], at);
            model.variables[v] = model.area.substr(at);
            model.area.resize(at);
            model.terminated = false;
            break;
        case 7: {
            // From new text, null, a variable (itself included) or the area.
            int source = in.ConsumeIntegralInRange(0, variableCount + 2);
            std::string text = in.ConsumeRandomLengthString(300);
            const char* pointer = text.c_str();
            if (source < variableCount) {
                pointer = variables[source];
                if (pointer) pointer += in.ConsumeIntegralInRange<size_t>(0, std::strlen(pointer));
            } else if (source == variableCount) {
                pointer = nullptr;
            } else if (source == variableCount + 1 && model.terminated) {
                pointer = tempArea.buffer + at;
            }
            if (pointer)
                model.variables[v] = std::string(pointer);
            else
                model.variables[v].reset();
            assign(&variables[v], pointer);
            break;
        }
        default:
            freeString(variables[v]);
            variables[v] = nullptr;
            model.variables[v].reset();
        }
        Check(model);
    }
    Require(fake::HeapMisuses() == 0, "no heap misuse");
    return 0;
}
