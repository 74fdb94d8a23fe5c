#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "fake_win32.h"
#include "platform/heaps.h"
#include "serial/object_registry.h"

namespace {

using Ids = std::vector<ObjectId>;

Ids freed;
ObjectRegistry* registry = nullptr;

void RecordFree(ObjectId id)
{
    freed.push_back(id);
}

void DisposeWalked(ObjectId id)
{
    freed.push_back(id);
    dispose(registry, id);
}

// Objects of two words, so that a disposal clearing only the first shows.
class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::Reset();
        MainHeap = HeapCreate(0, 4096, 0);
        freed.clear();
        registry = create(8, 16, RecordFree);
        ASSERT_NE(nullptr, registry);
    }
    static void* Use(void* object)
    {
        LONG* words = (LONG*)object;
        words[0] = 0x11;
        words[1] = 0x22;
        return object;
    }
    static void* PayloadOfHead() { return (char*)registry->dynamicHead + sizeof(RegistryNode); }
};

TEST_F(Registry, SlotBeyondTheTableGrowsItToSlotPlusStep)
{
    void* object = obtain(registry, 20);
    ASSERT_NE(nullptr, object);
    ASSERT_EQ(36, registry->capacity);
    EXPECT_EQ(long(36 * sizeof(void*)), fake::BlockSize(MainHeap, registry->slots));
    for (int i = 0; i < 36; i++) EXPECT_EQ(i == 20 ? object : nullptr, registry->slots[i]) << "slot " << i;
}

TEST_F(Registry, ObtainingATakenSlotDisposesTheOldObjectAndReusesItsMemory)
{
    void* first = obtain(registry, 5);
    EXPECT_TRUE(freed.empty());
    EXPECT_EQ(first, obtain(registry, 5));
    EXPECT_EQ(Ids{5}, freed);
}

TEST_F(Registry, DisposedNumberedObjectIsZeroedAndKeepsItsSlot)
{
    LONG* object = (LONG*)Use(obtain(registry, 2));
    EXPECT_EQ(object, lookup(registry, 2));
    dispose(registry, 2);
    EXPECT_EQ(0, object[0]);
    EXPECT_EQ(0, object[1]);
    EXPECT_EQ(nullptr, lookup(registry, 2));
    EXPECT_EQ(8, fake::BlockSize(MainHeap, object));
    EXPECT_EQ(object, obtain(registry, 2));
}

TEST_F(Registry, DynamicObjectsAreDistinctAndTheNewestIsHead)
{
    void* older = obtain(registry, DynamicId);
    void* newer = obtain(registry, DynamicId);
    ASSERT_NE(nullptr, older);
    ASSERT_NE(nullptr, newer);
    EXPECT_NE(older, newer);
    EXPECT_EQ(newer, PayloadOfHead());
    Use(older);
    EXPECT_EQ(older, lookup(registry, (ObjectId)older));
    EXPECT_EQ(nullptr, lookup(registry, (ObjectId)newer));
}

TEST_F(Registry, WalkGivesNumberedInUseAscendingThenEveryDynamicOldestFirst)
{
    Use(obtain(registry, 20));
    obtain(registry, 3);
    Use(obtain(registry, 1));
    void* d1 = obtain(registry, DynamicId);
    void* d2 = Use(obtain(registry, DynamicId));
    void* d3 = obtain(registry, DynamicId);
    walkReset(registry);
    Ids walked;
    ObjectId id = 0;
    while (void* object = walkNext(registry, &id)) {
        walked.push_back(id);
        EXPECT_EQ(object, id < registry->capacity ? registry->slots[id] : (void*)id);
    }
    EXPECT_EQ((Ids{1, 20, (ObjectId)d1, (ObjectId)d2, (ObjectId)d3}), walked);
}

TEST_F(Registry, DisposeAllWithoutCallbackOrObjectsDoesNothing)
{
    disposeAll(registry);
    EXPECT_TRUE(freed.empty());

    ObjectRegistry* plain = create(8, 16, nullptr);
    Use(obtain(plain, 2));
    void* dynamic = Use(obtain(plain, DynamicId));
    fake::HeapCounts before = fake::Counts(MainHeap);
    disposeAll(plain);
    EXPECT_EQ(before, fake::Counts(MainHeap));
    EXPECT_NE(nullptr, lookup(plain, 2));
    EXPECT_EQ(dynamic, lookup(plain, (ObjectId)dynamic));
}

// Under the sanitizers this also shows the walk never touches a freed node.
TEST_F(Registry, DisposeAllLetsTheCallbackFreeTheNodeJustWalked)
{
    registry = create(8, 16, DisposeWalked);
    Use(obtain(registry, 4));
    void* d1 = obtain(registry, DynamicId);
    void* d2 = obtain(registry, DynamicId);
    void* d3 = obtain(registry, DynamicId);
    std::size_t blocks = fake::LiveBlocks(MainHeap);
    disposeAll(registry);
    EXPECT_EQ((Ids{4, (ObjectId)d1, (ObjectId)d2, (ObjectId)d3}), freed);
    EXPECT_EQ(nullptr, registry->dynamicHead);
    EXPECT_EQ(nullptr, lookup(registry, 4));
    EXPECT_EQ(blocks - 3, fake::LiveBlocks(MainHeap));
}

TEST_F(Registry, IdentifiersOutsideTheModelNameNothing)
{
    LONG stranger[2] = {1, 1};  // would count as in use, were it taken as an object
    void* gone = Use(obtain(registry, DynamicId));
    dispose(registry, (ObjectId)gone);
    fake::HeapCounts before = fake::Counts(MainHeap);
    for (ObjectId id : {(ObjectId)stranger, (ObjectId)-5, (ObjectId)100, (ObjectId)gone}) {
        EXPECT_EQ(nullptr, lookup(registry, id)) << id;
        dispose(registry, id);
    }
    EXPECT_EQ(before, fake::Counts(MainHeap));
    EXPECT_EQ(1, stranger[0]);
    EXPECT_EQ(1, stranger[1]);
}

TEST_F(Registry, ObtainRefusesNegativeAndOverflowingSlotNumbers)
{
    fake::HeapCounts before = fake::Counts(MainHeap);
    for (ObjectId id : {(ObjectId)-2, (ObjectId)INT32_MAX - 15, (ObjectId)INT32_MAX, (ObjectId)INTPTR_MAX})
        EXPECT_EQ(nullptr, obtain(registry, id)) << id;
    EXPECT_EQ(before, fake::Counts(MainHeap));
    EXPECT_EQ(16, registry->capacity);
}

TEST_F(Registry, AllocationFailureInObtainRecordsNothing)
{
    fake::FailAllocation(MainHeap, 1);
    EXPECT_EQ(nullptr, obtain(registry, DynamicId));
    EXPECT_EQ(nullptr, registry->dynamicHead);

    fake::FailAllocation(MainHeap, 1);
    EXPECT_EQ(nullptr, obtain(registry, 3));
    EXPECT_EQ(nullptr, registry->slots[3]);

    fake::FailAllocation(MainHeap, 1);  // the larger slot array
    EXPECT_EQ(nullptr, obtain(registry, 40));
    EXPECT_EQ(16, registry->capacity);

    fake::FailAllocation(MainHeap, 2);  // the object, once the array has grown
    EXPECT_EQ(nullptr, obtain(registry, 40));
    ASSERT_LT(40, registry->capacity);
    EXPECT_EQ(nullptr, registry->slots[40]);

    walkReset(registry);
    ObjectId id = 0;
    EXPECT_EQ(nullptr, walkNext(registry, &id));
    EXPECT_NE(nullptr, obtain(registry, 3));
}

}  // namespace
