// Heaps over malloc, with every call counted and failure on demand.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "fake_internal.h"
#include "fake_win32.h"

namespace {

struct Heap {
    std::map<void*, SIZE_T> blocks;
    std::vector<fake::HeapOp> ops;
    fake::HeapCounts counts;
    int failCountdown = 0;  // > 0: that many more allocations and the last one fails
    bool failAll = false;
};

std::mutex lock;
// Handles are never reused, so a destroyed heap's handle stays unknown. Never
// destroyed itself: the leak check runs after static destructors, and the
// blocks the program still holds at exit are not leaks.
std::map<HANDLE, Heap>& heaps = *new std::map<HANDLE, Heap>;
std::uintptr_t nextHeap = 0x7000;
int created = 0;
int destroyed = 0;
int misuses = 0;

// Blocks the program did not ask to have zeroed get this, so that relying on
// zero-fill where none was asked for shows.
const unsigned char garbage = 0xCD;

Heap* Find(HANDLE handle)
{
    auto it = heaps.find(handle);
    if (it != heaps.end()) return &it->second;
    misuses++;
    return nullptr;
}

bool ShouldFail(Heap& heap)
{
    if (heap.failAll) return true;
    if (heap.failCountdown > 0 && --heap.failCountdown == 0) return true;
    return false;
}

void FreeAll(Heap& heap)
{
    for (auto& block : heap.blocks) std::free(block.first);
    heap.blocks.clear();
}

}  // namespace

HANDLE HeapCreate(DWORD, SIZE_T, SIZE_T)
{
    std::lock_guard<std::mutex> guard(lock);
    HANDLE handle = (HANDLE)(nextHeap += 0x10);
    heaps[handle];
    created++;
    return handle;
}

BOOL HeapDestroy(HANDLE hHeap)
{
    std::lock_guard<std::mutex> guard(lock);
    Heap* heap = Find(hHeap);
    if (!heap) return FALSE;
    FreeAll(*heap);
    heaps.erase(hHeap);
    destroyed++;
    return TRUE;
}

LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
    std::lock_guard<std::mutex> guard(lock);
    Heap* heap = Find(hHeap);
    if (!heap) return nullptr;
    heap->counts.allocs++;
    void* block = ShouldFail(*heap) ? nullptr : std::malloc(dwBytes ? dwBytes : 1);
    heap->ops.push_back({fake::HeapOpKind::Alloc, dwFlags, dwBytes, block != nullptr});
    if (!block) {
        heap->counts.failed++;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::memset(block, (dwFlags & HEAP_ZERO_MEMORY) ? 0 : garbage, dwBytes);
    heap->blocks[block] = dwBytes;
    return block;
}

// Always moves the block, so that a pointer kept across a resize points to
// freed memory, which the sanitizers catch.
LPVOID HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes)
{
    std::lock_guard<std::mutex> guard(lock);
    Heap* heap = Find(hHeap);
    if (!heap) return nullptr;
    heap->counts.reallocs++;
    auto old = heap->blocks.find(lpMem);
    if (old == heap->blocks.end()) misuses++;
    void* block = (old == heap->blocks.end() || ShouldFail(*heap)) ? nullptr : std::malloc(dwBytes ? dwBytes : 1);
    heap->ops.push_back({fake::HeapOpKind::ReAlloc, dwFlags, dwBytes, block != nullptr});
    if (!block) {
        heap->counts.failed++;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    SIZE_T kept = old->second < dwBytes ? old->second : dwBytes;
    std::memcpy(block, lpMem, kept);
    std::memset((char*)block + kept, (dwFlags & HEAP_ZERO_MEMORY) ? 0 : garbage, dwBytes - kept);
    std::free(lpMem);
    heap->blocks.erase(old);
    heap->blocks[block] = dwBytes;
    return block;
}

BOOL HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem)
{
    std::lock_guard<std::mutex> guard(lock);
    Heap* heap = Find(hHeap);
    if (!heap) return FALSE;
    heap->counts.frees++;
    auto block = heap->blocks.find(lpMem);
    bool ok = block != heap->blocks.end();
    heap->ops.push_back({fake::HeapOpKind::Free, dwFlags, 0, ok});
    if (!ok) {
        heap->counts.failed++;
        misuses++;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::free(lpMem);
    heap->blocks.erase(block);
    return TRUE;
}

namespace fake {

void ResetHeaps()
{
    std::lock_guard<std::mutex> guard(lock);
    for (auto& heap : heaps) FreeAll(heap.second);
    heaps.clear();
    created = destroyed = misuses = 0;
}

HeapCounts Counts(HANDLE heap)
{
    std::lock_guard<std::mutex> guard(lock);
    auto it = heaps.find(heap);
    return it == heaps.end() ? HeapCounts() : it->second.counts;
}

std::vector<HeapOp> Ops(HANDLE heap)
{
    std::lock_guard<std::mutex> guard(lock);
    auto it = heaps.find(heap);
    return it == heaps.end() ? std::vector<HeapOp>() : it->second.ops;
}

long BlockSize(HANDLE heap, const void* block)
{
    std::lock_guard<std::mutex> guard(lock);
    auto it = heaps.find(heap);
    if (it == heaps.end()) return -1;
    auto found = it->second.blocks.find(const_cast<void*>(block));
    return found == it->second.blocks.end() ? -1 : (long)found->second;
}

std::size_t LiveBlocks(HANDLE heap)
{
    std::lock_guard<std::mutex> guard(lock);
    auto it = heaps.find(heap);
    return it == heaps.end() ? 0 : it->second.blocks.size();
}

int HeapsCreated()
{
    std::lock_guard<std::mutex> guard(lock);
    return created;
}

int HeapsDestroyed()
{
    std::lock_guard<std::mutex> guard(lock);
    return destroyed;
}

int HeapMisuses()
{
    std::lock_guard<std::mutex> guard(lock);
    return misuses;
}

void FailAllocation(HANDLE heap, int nth)
{
    std::lock_guard<std::mutex> guard(lock);
    if (Heap* found = Find(heap)) found->failCountdown = nth;
}

void FailAllAllocations(HANDLE heap)
{
    std::lock_guard<std::mutex> guard(lock);
    if (Heap* found = Find(heap)) found->failAll = true;
}

}  // namespace fake
