// Private heaps over malloc. Each heap chains its blocks so that HeapDestroy
// frees them all at once, as a Win32 private heap does; a mutex serialises
// each heap, as Win32 heaps are serialised by default.
//
// A block may be larger than asked, as a Win32 heap's blocks are: one that
// grows past its room gets twice the room it had, so that a block grown a
// little at a time (the string area under a long input line) is copied a
// number of times that grows with the log of its size, whatever the C
// library's realloc does.
#include <pthread.h>
#include <sanitizer/asan_interface.h>

#include <cstdlib>
#include <cstring>

#include "platform/posix/close_event.h"
#include "platform/posix/win32_subset.h"

namespace {

struct BlockHeader {
    BlockHeader* prev;
    BlockHeader* next;
    SIZE_T size;  // as last asked for
    SIZE_T room;  // what the payload can hold: size or more
};

struct PrivateHeap {
    pthread_mutex_t lock;
    BlockHeader* blocks;
};

BlockHeader* HeaderOf(void* payload) { return (BlockHeader*)payload - 1; }

// Points the neighbours of a block at it: one new, or one realloc moved.
void Relink(PrivateHeap* heap, BlockHeader* moved)
{
    if (moved->prev) moved->prev->next = moved;
    else heap->blocks = moved;
    if (moved->next) moved->next->prev = moved;
}

void Link(PrivateHeap* heap, BlockHeader* block)
{
    block->prev = nullptr;
    block->next = heap->blocks;
    Relink(heap, block);
}

void Unlink(PrivateHeap* heap, BlockHeader* block)
{
    if (block->prev) block->prev->next = block->next;
    else heap->blocks = block->next;
    if (block->next) block->next->prev = block->prev;
}

void HeapEnter(PrivateHeap* heap)
{
    BusyEnter();
    pthread_mutex_lock(&heap->lock);
}

void HeapLeave(PrivateHeap* heap)
{
    pthread_mutex_unlock(&heap->lock);
    BusyLeave();
}

// Too large for any size_t once the header is added.
bool TooLarge(SIZE_T bytes) { return bytes > (SIZE_T)-1 - sizeof(BlockHeader); }

}  // namespace

static_assert(sizeof(BlockHeader) % 16 == 0, "payloads must stay 16-byte aligned");

HANDLE HeapCreate(DWORD, SIZE_T, SIZE_T)
{
    PrivateHeap* heap = (PrivateHeap*)std::calloc(1, sizeof(PrivateHeap));
    if (heap) pthread_mutex_init(&heap->lock, nullptr);
    return heap;
}

LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
    PrivateHeap* heap = (PrivateHeap*)hHeap;
    if (!heap || TooLarge(dwBytes)) return nullptr;
    HeapEnter(heap);
    SIZE_T total = sizeof(BlockHeader) + dwBytes;
    BlockHeader* block = (BlockHeader*)((dwFlags & HEAP_ZERO_MEMORY) ? std::calloc(1, total) : std::malloc(total));
    if (block) {
        block->size = dwBytes;
        block->room = dwBytes;
        Link(heap, block);
    }
    HeapLeave(heap);
    return block ? block + 1 : nullptr;
}

LPVOID HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes)
{
    PrivateHeap* heap = (PrivateHeap*)hHeap;
    if (!heap || !lpMem || TooLarge(dwBytes)) return nullptr;
    HeapEnter(heap);
    BlockHeader* block = HeaderOf(lpMem);
    SIZE_T oldSize = block->size;
    if (dwBytes > block->room) {
        SIZE_T room = block->room <= ((SIZE_T)-1 - sizeof(BlockHeader)) / 2 && 2 * block->room > dwBytes
                          ? 2 * block->room
                          : dwBytes;
        // A refused block is untouched and stays in the chain. Where twice
        // the room cannot be had (a 32-bit address space), what was asked
        // may still be.
        BlockHeader* moved = (BlockHeader*)std::realloc(block, sizeof(BlockHeader) + room);
        if (!moved && room != dwBytes) moved = (BlockHeader*)std::realloc(block, sizeof(BlockHeader) + (room = dwBytes));
        if (!moved) {
            HeapLeave(heap);
            return nullptr;
        }
        Relink(heap, moved);
        block = moved;
        block->room = room;
    }
    block->size = dwBytes;
    // Under AddressSanitizer the room past the size is off limits, as past a
    // block of exactly that size (without it, these are no-ops).
    ASAN_UNPOISON_MEMORY_REGION(block + 1, dwBytes);
    ASAN_POISON_MEMORY_REGION((char*)(block + 1) + dwBytes, block->room - dwBytes);
    HeapLeave(heap);
    if ((dwFlags & HEAP_ZERO_MEMORY) && dwBytes > oldSize)
        std::memset((char*)(block + 1) + oldSize, 0, dwBytes - oldSize);
    return block + 1;
}

BOOL HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem)
{
    PrivateHeap* heap = (PrivateHeap*)hHeap;
    if (!heap) return FALSE;
    // A close event may have interrupted the C library's allocator: what it
    // frees stays in the heap, for HeapDestroy or the end of the process.
    if (!lpMem || threadBusy.closing) return TRUE;
    BlockHeader* block = HeaderOf(lpMem);
    HeapEnter(heap);
    Unlink(heap, block);
    std::free(block);
    HeapLeave(heap);
    return TRUE;
}

BOOL HeapDestroy(HANDLE hHeap)
{
    PrivateHeap* heap = (PrivateHeap*)hHeap;
    if (!heap) return FALSE;
    for (BlockHeader* block = heap->blocks; block;) {
        BlockHeader* next = block->next;
        std::free(block);
        block = next;
    }
    pthread_mutex_destroy(&heap->lock);
    std::free(heap);
    return TRUE;
}
