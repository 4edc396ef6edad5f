#include "photo_file.hpp"

#include <sys/mman.h>
#include <unistd.h>

PhotoFile makePhotoFile() {
    PhotoFile file;
    file.descriptor = memfd_create("leafid-photo", MFD_CLOEXEC);
    if (file.descriptor >= 0) {
        file.path = "/proc/self/fd/" + std::to_string(file.descriptor);
    }
    return file;
}

bool appendBytes(PhotoFile& file, const char* data, size_t count) {
    while (count > 0 && file.descriptor >= 0) {
        const ssize_t n = write(file.descriptor, data, count);
        if (n <= 0) {
            return false;
        }
        data += n;
        count -= static_cast<size_t>(n);
        file.size += static_cast<size_t>(n);
    }
    return file.descriptor >= 0;
}

void clearBytes(PhotoFile& file) {
    if (file.descriptor >= 0 && ftruncate(file.descriptor, 0) == 0) {
        lseek(file.descriptor, 0, SEEK_SET);
        file.size = 0;
    }
}

void release(PhotoFile& file) {
    if (file.descriptor >= 0) {
        close(file.descriptor);
    }
    file = {};
}
