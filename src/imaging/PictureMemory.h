// Memory for decoded pictures. A decoded photo takes tens of megabytes, and a
// thumbnail batch decodes one after another on every processor. While picture
// work goes on, the heap blocks that one picture freed (file bytes, decoder
// buffers) serve the next, since fresh pages cost a fault and a clearing each,
// a tenth of the work of a thumbnail; when the work ends, they go back to the
// system, so that the program returns to its idle size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Frees pixel memory: pages of their own (mapped bytes) or a heap block.
struct PixelRelease {
  std::size_t mapped = 0;
  void operator()(std::uint8_t* pixels) const noexcept;
};
using PixelMemory = std::unique_ptr<std::uint8_t[], PixelRelease>;

// Uninitialised pixel memory. Large pictures get pages of their own (huge
// pages where the system offers them, so that first use costs few faults),
// which go back to the system as soon as the picture is freed; small ones
// come from the heap. Throws std::bad_alloc.
PixelMemory AllocatePixelMemory(std::size_t bytes);

// Sets the allocator for pictures: outside picture work, large blocks go back
// to the system when they are freed and small ones stay in its heaps for
// reuse. Process-wide and idempotent; every thumbnail cache calls it.
void KeepPictureMemoryInHeap();

// Picture work (decoding, resampling, encoding) for the lifetime of the
// object; objects on any number of threads, nested or not, count together.
// While one exists, heap blocks of up to 32 MiB come from the heaps and stay
// there when freed, for the next picture. When a thread's last one ends, the
// free top of its heap goes back to the system; when the last one of all
// ends, so does the free memory inside every heap.
class PictureWork {
 public:
  PictureWork();
  ~PictureWork();
  PictureWork(const PictureWork&) = delete;
  PictureWork& operator=(const PictureWork&) = delete;
};
