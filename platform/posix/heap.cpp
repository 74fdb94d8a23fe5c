// Private heaps over malloc. Each heap chains its blocks so that HeapDestroy
// frees them all at once, as a Win32 private heap does; a lock serialises
// each heap, as Win32 heaps are serialised by default.
#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "platform/posix/win32_subset.h"

namespace {

struct BlockHeader {
    BlockHeader* prev;
    BlockHeader* next;
    SIZE_T size;
    SIZE_T unused;  // keeps the payload 16-byte aligned
};

struct PrivateHeap {
    pthread_mutex_t lock;
    BlockHeader* blocks;
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

}  // namespace

static_assert(sizeof(BlockHeader) % 16 == 0, "payloads must stay 16-byte aligned");

HANDLE HeapCreate(DWORD, SIZE_T, SIZE_T)
{
    PrivateHeap* heap = (PrivateHeap*)std::calloc(1, sizeof(PrivateHeap));
    if (!heap) return nullptr;
    pthread_mutex_init(&heap->lock, nullptr);
    return heap;
}

LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
    PrivateHeap* heap = (PrivateHeap*)hHeap;
    if (!heap || dwBytes > (SIZE_T)-1 - sizeof(BlockHeader)) return nullptr;
    BlockHeader* block = (BlockHeader*)((dwFlags & HEAP_ZERO_MEMORY) ? std::calloc(1, sizeof(BlockHeader) + dwBytes)
                                                                     : std::malloc(sizeof(BlockHeader) + dwBytes));
    if (!block) return nullptr;
    block->size = dwBytes;
    pthread_mutex_lock(&heap->lock);
    Link(heap, block);
    pthread_mutex_unlock(&heap->lock);
    return block + 1;
}

LPVOID HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes)
{
    PrivateHeap* heap = (PrivateHeap*)hHeap;
    if (!heap || !lpMem || dwBytes > (SIZE_T)-1 - sizeof(BlockHeader)) return nullptr;
    pthread_mutex_lock(&heap->lock);
    BlockHeader* block = HeaderOf(lpMem);
    SIZE_T oldSize = block->size;
    Unlink(heap, block);
    BlockHeader* moved = (BlockHeader*)std::realloc(block, sizeof(BlockHeader) + dwBytes);
    if (!moved) {
        // The old block is untouched and stays in the heap.
        Link(heap, block);
        pthread_mutex_unlock(&heap->lock);
        return nullptr;
    }
    moved->size = dwBytes;
    Link(heap, moved);
    pthread_mutex_unlock(&heap->lock);
    if ((dwFlags & HEAP_ZERO_MEMORY) && dwBytes > oldSize)
        std::memset((char*)(moved + 1) + oldSize, 0, dwBytes - oldSize);
    return moved + 1;
}

BOOL HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem)
{
    PrivateHeap* heap = (PrivateHeap*)hHeap;
    if (!heap) return FALSE;
    if (!lpMem) return TRUE;
    BlockHeader* block = HeaderOf(lpMem);
    pthread_mutex_lock(&heap->lock);
    Unlink(heap, block);
    pthread_mutex_unlock(&heap->lock);
    std::free(block);
    return TRUE;
}

BOOL HeapDestroy(HANDLE hHeap)
{
    PrivateHeap* heap = (PrivateHeap*)hHeap;
    if (!heap) return FALSE;
    BlockHeader* block = heap->blocks;
    while (block) {
        BlockHeader* next = block->next;
        std::free(block);
        block = next;
    }
    pthread_mutex_destroy(&heap->lock);
    std::free(heap);
    return TRUE;
}
