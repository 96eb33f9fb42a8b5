// Pixel pages, and the heap's policy for pictures in and out of picture work.
#include "imaging/PictureMemory.h"

#include <malloc.h>
#include <sys/mman.h>

#include <cstdlib>
#include <mutex>
#include <new>

namespace {

// Pictures of this many bytes or more get pages of their own.
constexpr std::size_t kOwnPagesBytes = 4u << 20;
constexpr std::size_t kHugePage = 2u << 20;
// Heap blocks of this many bytes or more get pages of their own: outside
// picture work from 1 MiB, during it only beyond the largest block the
// allocator keeps in its heaps.
constexpr int kIdleMapThreshold = 1 << 20;
constexpr int kWorkMapThreshold = 32 << 20;
// A free top of a heap is given back beyond this size only, so that a batch
// does not give back and take again with every picture.
constexpr int kTrimThreshold = 128 << 20;
// A free of a block of this size or more lets the allocator trim the heap.
constexpr std::size_t kTrimmingFree = 64u << 10;

std::mutex workMutex;
int workCount = 0;                // PictureWork objects alive, over all threads
thread_local int threadWork = 0;  // those of this thread

// Gives back the free top of this thread's heap. The allocator does so on a
// free of a large block when the top is beyond the trim threshold, so the
// threshold is dropped for one such free (other threads that free a large
// block meanwhile give back theirs too). workMutex held.
void GiveBackThreadHeap() {
  mallopt(M_TRIM_THRESHOLD, 0);
  void* volatile block = std::malloc(kTrimmingFree);  // volatile: the pair must happen
  std::free(block);
  mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
}

}  // namespace

void PixelRelease::operator()(std::uint8_t* pixels) const noexcept {
  if (mapped > 0) {
    ::munmap(pixels, mapped);
  } else {
    delete[] pixels;
  }
}

PixelMemory AllocatePixelMemory(std::size_t bytes) {
  if (bytes < kOwnPagesBytes) return PixelMemory(new std::uint8_t[bytes], PixelRelease{});
  // Whole huge pages on a huge-page boundary: a little more is mapped, then
  // the ends beyond the boundaries are given back.
  const std::size_t size = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* raw =
      ::mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  auto* start = static_cast<std::uint8_t*>(raw);
  const auto address = reinterpret_cast<std::uintptr_t>(start);
  auto* aligned =
      reinterpret_cast<std::uint8_t*>((address + kHugePage - 1) / kHugePage * kHugePage);
  const std::size_t head = static_cast<std::size_t>(aligned - start);
  if (head > 0) ::munmap(start, head);
  if (kHugePage - head > 0) ::munmap(aligned + size, kHugePage - head);
  ::madvise(aligned, size, MADV_HUGEPAGE);
  return PixelMemory(aligned, PixelRelease{size});
}

void KeepPictureMemoryInHeap() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::lock_guard<std::mutex> lock(workMutex);
    mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
    if (workCount == 0) mallopt(M_MMAP_THRESHOLD, kIdleMapThreshold);
  });
}

PictureWork::PictureWork() {
  if (threadWork++ > 0) return;
  KeepPictureMemoryInHeap();
  std::lock_guard<std::mutex> lock(workMutex);
  if (workCount++ == 0) mallopt(M_MMAP_THRESHOLD, kWorkMapThreshold);
}

PictureWork::~PictureWork() {
  if (--threadWork > 0) return;
  {
    std::lock_guard<std::mutex> lock(workMutex);
    GiveBackThreadHeap();
    if (--workCount > 0) return;
    mallopt(M_MMAP_THRESHOLD, kIdleMapThreshold);
  }
  // The free blocks inside every heap.
  malloc_trim(0);
}
