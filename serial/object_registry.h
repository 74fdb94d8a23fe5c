// A registry of objects of one kind, named by ObjectId: numbered objects in
// caller-chosen slots, and dynamic objects whose identifier is the address of
// their payload. Not safe for concurrent use; its one walk cursor means walks
// cannot nest.
#pragma once

#include "platform/win32.h"

// A slot number in [0, capacity), or the payload address of a dynamic object.
typedef INT_PTR ObjectId;

// Asks obtain for a new dynamic object.
#define DynamicId ((ObjectId)-1)

typedef void (*ObjectFreeCallback)(ObjectId id);

struct RegistryNode {
    RegistryNode* next;  // towards older nodes
    RegistryNode* prev;  // towards newer nodes
    // objectSize payload bytes follow
};

struct ObjectRegistry {
    LONG objectSize;                  // payload bytes of one object
    LONG growStep;                    // margin added past a slot number that outgrows the table
    LONG capacity;                    // slots in the table
    void** slots;                     // capacity pointers; null where no object was ever allocated
    RegistryNode* dynamicHead;        // newest dynamic object, or null
    ObjectFreeCallback freeCallback;  // disposes of an existing object; may be null
    LONG iterPosition;                // next slot a walk visits
    RegistryNode* iterNode;           // next dynamic node a walk visits
};

// An object is in use while the first 32-bit word of its payload is non-zero.
//
// Identifiers outside the model are the absence of an object: lookup and
// dispose take only a slot number below the capacity or the payload address
// of a live dynamic object; obtain takes only DynamicId or a slot number >= 0.

// Null when the main heap cannot supply the record or its table.
ObjectRegistry* create(LONG objectSize, LONG growStep, ObjectFreeCallback freeCallback);
// The payload of a new dynamic object (DynamicId) or of slot id, disposing of
// the slot's old object through the callback first. Null, with nothing
// recorded, when id is rejected or memory cannot be had.
void* obtain(ObjectRegistry* registry, ObjectId id);
// The object's payload if it exists and is in use, else null.
void* lookup(ObjectRegistry* registry, ObjectId id);
// A numbered object is zero-filled and keeps its slot; a dynamic one is
// unlinked and freed.
void dispose(ObjectRegistry* registry, ObjectId id);
// Walk: in-use numbered objects in slot order, then every dynamic object
// from the oldest to the newest. walkNext returns null at the end.
void walkReset(ObjectRegistry* registry);
void* walkNext(ObjectRegistry* registry, ObjectId* id);
// Calls the free callback for every object a walk returns; the callback may
// free the dynamic node just walked. Nothing without a callback.
void disposeAll(ObjectRegistry* registry);
