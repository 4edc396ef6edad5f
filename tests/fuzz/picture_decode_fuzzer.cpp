// libFuzzer target, differential: whatever the header reader lets through is decoded, and the
// decode must stay within what the header said it would take, in memory and in time. Built
// without AddressSanitizer, since it counts the bytes allocated through malloc itself.
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <opencv2/core.hpp>
#include <string>

#include "picture.hpp"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {

std::atomic<long> live{0};
std::atomic<long> peak{0};

void* counted(void* block) {
    if (block != nullptr) {
        const long now = live += static_cast<long>(malloc_usable_size(block));
        for (long seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
        }
    }
    return block;
}

void uncount(void* block) {
    if (block != nullptr) {
        live -= static_cast<long>(malloc_usable_size(block));
    }
}

}  // namespace

// Every allocation of the process, the image libraries' included, goes through these.
extern "C" {
void* malloc(size_t size) {
    return counted(__libc_malloc(size));
}
void* calloc(size_t count, size_t size) {
    return counted(__libc_calloc(count, size));
}
void* realloc(void* block, size_t size) {
    uncount(block);
    return counted(__libc_realloc(block, size));
}
void free(void* block) {
    uncount(block);
    __libc_free(block);
}
void* memalign(size_t alignment, size_t size) {
    return counted(__libc_memalign(alignment, size));
}
void* aligned_alloc(size_t alignment, size_t size) {
    return counted(__libc_memalign(alignment, size));
}
int posix_memalign(void** block, size_t alignment, size_t size) {
    *block = counted(__libc_memalign(alignment, size));
    return *block == nullptr && size > 0 ? 12 : 0;  // ENOMEM
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int file = memfd_create("picture", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(file);
    static const bool oneThread = (cv::setNumThreads(0), true);
    (void)oneThread;
    if (ftruncate(file, 0) != 0 || pwrite(file, data, size, 0) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    const PictureHeader header = readPictureHeader(path);
    if (!isAffordable(header)) {
        return 0;
    }
    // The libraries' own bookkeeping is allowed beside the estimate: tables, buffers of a few
    // rows, and a PNG chunk of up to 8 MB, which libpng holds whole and the image library copies
    // when it is EXIF. Time goes with the bytes worked through.
    const double allowedBytes = header.decodingBytes + (24 << 20);
    const double allowedSeconds = 0.25 + header.decodingBytes * 4e-9;
    const long before = live;
    peak = before;
    const std::clock_t start = std::clock();
    const cv::Mat grey = readGreyPicture(path);
    const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    const long used = peak - before;
    if (used > allowedBytes || seconds > allowedSeconds) {
        std::fprintf(stderr, "format %d: estimated %.0f bytes, took %ld bytes and %.3f s\n",
                     static_cast<int>(header.format), header.decodingBytes, used, seconds);
        std::abort();
    }
    return 0;
}
