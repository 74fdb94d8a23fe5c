#include "serial/object_registry.h"

#include <cstdint>
#include <cstring>

#include "platform/heaps.h"

static void* PayloadOf(RegistryNode* node)
{
    return (char*)node + sizeof(RegistryNode);
}

static bool IsSlotNumber(const ObjectRegistry* registry, ObjectId id)
{
    return id >= 0 && id < registry->capacity;
}

// The live dynamic node whose payload is at id, or null. Membership is
// checked, so an arbitrary number is never taken as an address.
static RegistryNode* FindNode(const ObjectRegistry* registry, ObjectId id)
{
    for (RegistryNode* node = registry->dynamicHead; node; node = node->next)
        if ((ObjectId)PayloadOf(node) == id) return node;
    return nullptr;
}

static bool InUse(const void* object)
{
    if (!object) return false;
    LONG firstWord;
    std::memcpy(&firstWord, object, sizeof firstWord);
    return firstWord != 0;
}

ObjectRegistry* create(LONG objectSize, LONG growStep, ObjectFreeCallback freeCallback)
{
    // An object needs room for the word that says it is in use.
    if (objectSize < 4 || growStep <= 0) return nullptr;
    ObjectRegistry* registry = (ObjectRegistry*)HeapAlloc(MainHeap, HEAP_ZERO_MEMORY, sizeof(ObjectRegistry));
    if (!registry) return nullptr;
    registry->slots = (void**)HeapAlloc(MainHeap, HEAP_ZERO_MEMORY, (SIZE_T)growStep * sizeof(void*));
    if (!registry->slots) {
        HeapFree(MainHeap, 0, registry);
        return nullptr;
    }
    registry->objectSize = objectSize;
    registry->growStep = growStep;
    registry->capacity = growStep;
    registry->freeCallback = freeCallback;
    return registry;
}

static void* ObtainDynamic(ObjectRegistry* registry)
{
    RegistryNode* node =
        (RegistryNode*)HeapAlloc(MainHeap, HEAP_ZERO_MEMORY, sizeof(RegistryNode) + (SIZE_T)registry->objectSize);
    if (!node) return nullptr;
    node->next = registry->dynamicHead;
    if (registry->dynamicHead) registry->dynamicHead->prev = node;
    registry->dynamicHead = node;
    return PayloadOf(node);
}

static bool GrowTo(ObjectRegistry* registry, ObjectId id)
{
    if (id > (ObjectId)(INT32_MAX - registry->growStep)) return false;
    LONG capacity = (LONG)id + registry->growStep;
    void** slots = (void**)HeapReAlloc(MainHeap, HEAP_ZERO_MEMORY, registry->slots, (SIZE_T)capacity * sizeof(void*));
    if (!slots) return false;
    registry->slots = slots;
    registry->capacity = capacity;
    return true;
}

void* obtain(ObjectRegistry* registry, ObjectId id)
{
    if (id == DynamicId) return ObtainDynamic(registry);
    if (id < 0) return nullptr;
    if (id >= registry->capacity && !GrowTo(registry, id)) return nullptr;
    if (registry->slots[id]) {
        // The memory stays with its slot; disposing of the old object is what
        // zero-fills it.
        if (registry->freeCallback) registry->freeCallback(id);
        return registry->slots[id];
    }
    void* object = HeapAlloc(MainHeap, HEAP_ZERO_MEMORY, (SIZE_T)registry->objectSize);
    if (!object) return nullptr;
    registry->slots[id] = object;
    return object;
}

void* lookup(ObjectRegistry* registry, ObjectId id)
{
    void* object = nullptr;
    if (IsSlotNumber(registry, id)) {
        object = registry->slots[id];
    } else {
        RegistryNode* node = FindNode(registry, id);
        if (node) object = PayloadOf(node);
    }
    return InUse(object) ? object : nullptr;
}

void dispose(ObjectRegistry* registry, ObjectId id)
{
    if (IsSlotNumber(registry, id)) {
        if (registry->slots[id]) std::memset(registry->slots[id], 0, (size_t)registry->objectSize);
        return;
    }
    RegistryNode* node = FindNode(registry, id);
    if (!node) return;
    if (node == registry->dynamicHead) {
        registry->dynamicHead = node->next;
        if (node->next) node->next->prev = nullptr;
    } else {
        node->prev->next = node->next;
        if (node->next) node->next->prev = node->prev;
    }
    // A walk in progress must not step onto the freed node.
    if (registry->iterNode == node) registry->iterNode = node->prev;
    HeapFree(MainHeap, 0, node);
}

void walkReset(ObjectRegistry* registry)
{
    registry->iterPosition = 0;
    RegistryNode* node = registry->dynamicHead;
    while (node && node->next) node = node->next;
    registry->iterNode = node;
}

void* walkNext(ObjectRegistry* registry, ObjectId* id)
{
    while (registry->iterPosition >= 0 && registry->iterPosition < registry->capacity) {
        LONG slot = registry->iterPosition++;
        void* object = registry->slots[slot];
        if (InUse(object)) {
            *id = slot;
            return object;
        }
    }
    RegistryNode* node = registry->iterNode;
    if (!node) return nullptr;
    registry->iterNode = node->prev;
    void* payload = PayloadOf(node);
    *id = (ObjectId)payload;
    return payload;
}

void disposeAll(ObjectRegistry* registry)
{
    if (!registry->freeCallback) return;
    walkReset(registry);
    ObjectId id = 0;
    while (walkNext(registry, &id)) registry->freeCallback(id);
}
