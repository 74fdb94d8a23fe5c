// The object registry under random operations with valid and invalid
// identifiers, against a model: allocated slots in a map, live dynamic
// objects in a list from the oldest to the newest. An identifier that names
// no object must be refused without being dereferenced; AddressSanitizer
// watches that.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fake_win32.h"
#include "fuzz_check.h"
#include "platform/heaps.h"
#include "serial/object_registry.h"

namespace {

ObjectRegistry* registry;
std::vector<ObjectId> callbacks;

// Disposes of the object, as the serial port layer's callback does.
void FreeObject(ObjectId id)
{
    callbacks.push_back(id);
    dispose(registry, id);
}

const ObjectId none = 0;

struct Model {
    LONG size, growStep, capacity;
    bool hasCallback;
    std::map<ObjectId, char*> slots;  // allocated slots
    std::vector<ObjectId> dynamics;   // oldest first
    std::vector<ObjectId> stale;      // disposed dynamic ids
    std::map<const void*, std::string> bytes;
    LONG position = 0;
    ObjectId cursor = none;  // next dynamic object of the walk

    bool IsSlot(ObjectId id) const { return id >= 0 && id < capacity; }
    bool IsDynamic(ObjectId id) const { return std::count(dynamics.begin(), dynamics.end(), id) > 0; }
    bool InUse(const void* object) const
    {
        return object && bytes.at(object).compare(0, 4, std::string(4, '\0')) != 0;
    }
    char* Object(ObjectId id) const
    {
        if (IsSlot(id)) return slots.count(id) ? slots.at(id) : nullptr;
        return IsDynamic(id) ? (char*)id : nullptr;
    }
    ObjectId Newer(ObjectId id) const
    {
        auto at = std::find(dynamics.begin(), dynamics.end(), id) + 1;
        return at == dynamics.end() ? none : *at;
    }
    void Dispose(ObjectId id)
    {
        if (IsSlot(id)) {
            if (slots.count(id)) bytes[slots[id]].assign(size, '\0');
        } else if (IsDynamic(id)) {
            if (cursor == id) cursor = Newer(id);
            dynamics.erase(std::find(dynamics.begin(), dynamics.end(), id));
            bytes.erase((void*)id);
            stale.push_back(id);
        }
    }
    void WalkReset()
    {
        position = 0;
        cursor = dynamics.empty() ? none : dynamics.front();
    }
    char* WalkNext(ObjectId* id)
    {
        while (position >= 0 && position < capacity) {
            *id = position++;
            char* object = Object(*id);
            if (InUse(object)) return object;
        }
        if (cursor == none) return nullptr;
        *id = cursor;
        cursor = Newer(cursor);
        return (char*)*id;
    }
};

void RequireObject(const Model& model, const void* got, const char* expected, const char* what)
{
    Require(got == expected, what);
    if (expected) Require(std::memcmp(got, model.bytes.at(expected).data(), model.size) == 0, "the payload is kept");
}

ObjectId PickId(FuzzedDataProvider& in, const Model& model)
{
    auto pick = [&in](const std::vector<ObjectId>& ids) {
        return ids.empty() ? DynamicId : ids[in.ConsumeIntegralInRange<size_t>(0, ids.size() - 1)];
    };
    switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0: return in.ConsumeIntegralInRange<ObjectId>(0, model.capacity + 8);
    case 1: return DynamicId;
    case 2: return pick(model.dynamics);
    case 3: return pick(model.stale);
    case 4: return pick(model.dynamics) + in.ConsumeIntegralInRange(-24, 24);
    case 5: return model.slots.empty() ? INT_MAX : (ObjectId)model.slots.begin()->second;
    case 6: return in.ConsumeIntegralInRange<ObjectId>(INT64_MIN, -2);
    default: return in.ConsumeIntegral<ObjectId>();
    }
}

ObjectId PickObtainId(FuzzedDataProvider& in, const Model& model)
{
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return DynamicId;
    case 1: return in.ConsumeIntegralInRange<ObjectId>(INT64_MIN, -2);
    // Just below these the table would take gigabytes.
    case 2: return in.ConsumeIntegralInRange<ObjectId>((ObjectId)INT_MAX - model.growStep + 1, INT64_MAX);
    default: return in.ConsumeIntegralInRange<ObjectId>(0, 300);
    }
}

void Obtain(Model& model, ObjectId id)
{
    char* got = (char*)obtain(registry, id);
    if (id == DynamicId) {
        Require(got && !model.IsDynamic((ObjectId)got) && !model.bytes.count(got), "a new dynamic object");
        model.dynamics.push_back((ObjectId)got);
        model.bytes[got].assign(model.size, '\0');
    } else if (id < 0 || id > (ObjectId)INT_MAX - model.growStep) {
        Require(!got, "an identifier that cannot be a slot is refused");
    } else {
        if (id >= model.capacity) model.capacity = (LONG)id + model.growStep;
        if (model.slots.count(id)) {
            Require(got == model.slots[id], "a slot keeps its memory");
            if (model.hasCallback) {
                Require(callbacks == std::vector<ObjectId>{id}, "the old object is freed through the callback");
                callbacks.clear();
                model.Dispose(id);
            }
        } else {
            Require(got && !model.bytes.count(got), "a new numbered object");
            model.slots[id] = got;
            model.bytes[got].assign(model.size, '\0');
        }
    }
    if (got) Require(std::memcmp(got, model.bytes[got].data(), model.size) == 0, "obtain's payload");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    fake::Reset();
    MainHeap = HeapCreate(0, 4096, 0);
    FuzzedDataProvider in(data, size);
    Model model;
    model.size = in.ConsumeIntegralInRange<LONG>(0, 16);
    model.growStep = in.ConsumeIntegralInRange<LONG>(-1, 24);
    model.capacity = model.growStep;
    model.hasCallback = in.ConsumeBool();
    registry = create(model.size, model.growStep, model.hasCallback ? FreeObject : nullptr);
    if (model.size < 4 || model.growStep <= 0) {
        Require(!registry, "create refuses a size without an in-use word or a growth step below 1");
        return 0;
    }
    Require(registry != nullptr, "create");

    for (int op = 0; op < 2000 && in.remaining_bytes() > 0; op++) {
        callbacks.clear();
        ObjectId id = 0, expectedId = 0;
        switch (in.ConsumeIntegralInRange(0, 6)) {
        case 0:
            Obtain(model, PickObtainId(in, model));
            break;
        case 1:
            id = PickId(in, model);
            RequireObject(model, lookup(registry, id), model.InUse(model.Object(id)) ? model.Object(id) : nullptr,
                          "lookup");
            break;
        case 2:
            id = PickId(in, model);
            dispose(registry, id);
            model.Dispose(id);
            break;
        case 3: {
            // Callers store in the payload; a non-zero first word puts it in use.
            std::vector<ObjectId> ids = model.dynamics;
            for (auto& slot : model.slots) ids.push_back(slot.first);
            if (ids.empty()) break;
            char* object = model.Object(ids[in.ConsumeIntegralInRange<size_t>(0, ids.size() - 1)]);
            std::string stored = in.ConsumeBytesAsString(model.size);
            stored.resize(model.size, '\x5A');
            std::memcpy(object, stored.data(), model.size);
            model.bytes[object] = stored;
            break;
        }
        case 4:
            walkReset(registry);
            model.WalkReset();
            break;
        case 5: {
            char* expected = model.WalkNext(&expectedId);
            RequireObject(model, walkNext(registry, &id), expected, "walkNext");
            if (expected) Require(id == expectedId, "walkNext's identifier");
            break;
        }
        default: {
            disposeAll(registry);
            std::vector<ObjectId> expected;
            if (model.hasCallback) {
                model.WalkReset();
                while (model.WalkNext(&id)) {
                    expected.push_back(id);
                    model.Dispose(id);
                }
            }
            Require(callbacks == expected, "disposeAll frees every object through the callback");
            callbacks.clear();
        }
        }
        Require(callbacks.empty(), "only obtain of an allocated slot and disposeAll call the callback");
    }
    for (auto& slot : model.slots)
        RequireObject(model, lookup(registry, slot.first), model.InUse(slot.second) ? slot.second : nullptr, "lookup");
    for (ObjectId id : model.dynamics)
        RequireObject(model, lookup(registry, id), model.InUse((void*)id) ? (char*)id : nullptr, "lookup");
    Require(fake::LiveBlocks(MainHeap) == 2 + model.slots.size() + model.dynamics.size(), "no block leaked or lost");
    Require(fake::HeapMisuses() == 0, "no heap misuse");
    return 0;
}
