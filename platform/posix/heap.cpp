// Private heaps over malloc. Each heap chains its blocks so that HeapDestroy
// frees them all at once, as a Win32 private heap does; a lock serialises
// each heap, as Win32 heaps are serialised by default.
//
// A block may be larger than asked, as a Win32 heap's blocks are: sizes are
// rounded up, a block resized within its room stays where it is, and a block
// that grows gets room to grow again. Small freed blocks are kept for the
// next allocation that fits, so that a block freed and taken again in a loop
// (an output line, a registry node) costs no call into the C library.
#include <cstdlib>
#include <cstring>

#include "platform/posix/light_lock.h"
#include "platform/posix/win32_subset.h"

namespace {

struct BlockHeader {
    BlockHeader* prev;
    BlockHeader* next;
    SIZE_T size;  // as last asked for
    SIZE_T room;  // what the payload can hold: size rounded up, or more
};

// Under AddressSanitizer every block is exactly its size and every free
// reaches the C library, so that a write past a block's end or a use after
// its free is still caught.
#if defined(__SANITIZE_ADDRESS__)
const bool exactBlocks = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool exactBlocks = true;
#else
const bool exactBlocks = false;
#endif
#else
const bool exactBlocks = false;
#endif

const SIZE_T granule = 16;
// Freed blocks up to this room are kept, at most this many per heap.
const SIZE_T keptRoom = 256;
const int keptBlocks = exactBlocks ? 0 : 4;
// A block that grows gets twice its room, up to this; larger ones (the
// string area) grow by their own rule.
const SIZE_T doubledRoom = 4096;

struct PrivateHeap {
    LightLock lock;
    BlockHeader* blocks;  // in use
    BlockHeader* kept;    // freed and kept, chained through next
    int keptCount;
};

BlockHeader* HeaderOf(void* payload)
{
    return (BlockHeader*)payload - 1;
}

void Link(PrivateHeap* heap, BlockHeader* block)
{
    block->prev = nullptr;
    block->next = heap->blocks;
    if (heap->blocks) heap->blocks->prev = block;
    heap->blocks = block;
}

void Unlink(PrivateHeap* heap, BlockHeader* block)
{
    if (block->prev) block->prev->next = block->next;
    else heap->blocks = block->next;
    if (block->next) block->next->prev = block->prev;
}

SIZE_T RoomFor(SIZE_T bytes)
{
    if (exactBlocks) return bytes;
    return bytes < granule ? granule : (bytes + granule - 1) & ~(granule - 1);
}

// A kept block that holds bytes, taken out of the kept chain; null if none.
BlockHeader* TakeKept(PrivateHeap* heap, SIZE_T bytes)
{
    for (BlockHeader** link = &heap->kept; *link; link = &(*link)->next) {
        BlockHeader* block = *link;
        if (block->room < bytes) continue;
        *link = block->next;
        heap->keptCount--;
        return block;
    }
    return nullptr;
}

void FreeChain(BlockHeader* block)
{
    while (block) {
        BlockHeader* next = block->next;
        std::free(block);
        block = next;
    }
}

// Too large for any size_t once the header and the rounding are added.
bool TooLarge(SIZE_T bytes)
{
    return bytes > (SIZE_T)-1 - sizeof(BlockHeader) - 2 * doubledRoom;
}

}  // namespace

static_assert(sizeof(BlockHeader) % 16 == 0, "payloads must stay 16-byte aligned");

HANDLE HeapCreate(DWORD, SIZE_T, SIZE_T)
{
    // Field by field rather than calloc or a fill (which the compiler turns
    // into calloc): one C library function fewer to bind at start-up.
    BusyEnter();
    PrivateHeap* heap = (PrivateHeap*)std::malloc(sizeof(PrivateHeap));
    BusyLeave();
    if (!heap) return nullptr;
    heap->lock.state.store(0, std::memory_order_relaxed);
    heap->blocks = nullptr;
    heap->kept = nullptr;
    heap->keptCount = 0;
    return heap;
}

LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
    PrivateHeap* heap = (PrivateHeap*)hHeap;
    if (!heap || TooLarge(dwBytes)) return nullptr;
    LightLockEnter(&heap->lock);
    BlockHeader* block = dwBytes <= keptRoom ? TakeKept(heap, dwBytes) : nullptr;
    if (!block) {
        SIZE_T room = RoomFor(dwBytes);
        block = (BlockHeader*)std::malloc(sizeof(BlockHeader) + room);
        if (!block) {
            LightLockLeave(&heap->lock);
            return nullptr;
        }
        block->room = room;
    }
    block->size = dwBytes;
    Link(heap, block);
    LightLockLeave(&heap->lock);
    if (dwFlags & HEAP_ZERO_MEMORY) {
        char* payload = (char*)(block + 1);
        // A small block (a registry node) is cleared as whole granules, which
        // its room always holds, rather than through a call into the C library.
        if (!exactBlocks && dwBytes <= 2 * granule) {
            std::memset(payload, 0, granule);
            if (dwBytes > granule) std::memset(payload + granule, 0, granule);
        } else {
            std::memset(payload, 0, dwBytes);
        }
    }
    return block + 1;
}

LPVOID HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes)
{
    PrivateHeap* heap = (PrivateHeap*)hHeap;
    if (!heap || !lpMem || TooLarge(dwBytes)) return nullptr;
    LightLockEnter(&heap->lock);
    BlockHeader* block = HeaderOf(lpMem);
    SIZE_T oldSize = block->size;
    if (dwBytes > block->room || (exactBlocks && dwBytes != oldSize)) {
        SIZE_T room = RoomFor(dwBytes);
        if (!exactBlocks && block->room < doubledRoom && room < 2 * block->room) room = 2 * block->room;
        // A new block and a copy rather than realloc, which would be one
        // more C library function to bind: blocks grow a few times a run.
        BlockHeader* moved = (BlockHeader*)std::malloc(sizeof(BlockHeader) + room);
        if (!moved) {
            // The old block is untouched and stays in the heap.
            LightLockLeave(&heap->lock);
            return nullptr;
        }
        Unlink(heap, block);
        std::memcpy(moved + 1, block + 1, oldSize < dwBytes ? oldSize : dwBytes);
        moved->room = room;
        Link(heap, moved);
        std::free(block);
        block = moved;
    }
    block->size = dwBytes;
    LightLockLeave(&heap->lock);
    if ((dwFlags & HEAP_ZERO_MEMORY) && dwBytes > oldSize)
        std::memset((char*)(block + 1) + oldSize, 0, dwBytes - oldSize);
    return block + 1;
}

BOOL HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem)
{
    PrivateHeap* heap = (PrivateHeap*)hHeap;
    if (!heap) return FALSE;
    if (!lpMem) return TRUE;
    BlockHeader* block = HeaderOf(lpMem);
    LightLockEnter(&heap->lock);
    Unlink(heap, block);
    if (block->room <= keptRoom && heap->keptCount < keptBlocks) {
        block->next = heap->kept;
        heap->kept = block;
        heap->keptCount++;
    } else {
        // Under the lock, so that no close event enters the C library's
        // allocator while it is busy (see light_lock.h).
        std::free(block);
    }
    LightLockLeave(&heap->lock);
    return TRUE;
}

BOOL HeapDestroy(HANDLE hHeap)
{
    PrivateHeap* heap = (PrivateHeap*)hHeap;
    if (!heap) return FALSE;
    BusyEnter();
    FreeChain(heap->blocks);
    FreeChain(heap->kept);
    std::free(heap);
    BusyLeave();
    return TRUE;
}
