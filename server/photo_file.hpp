// A received photo as a file only this process can reach, so that it is read through exactly
// the path, header checks and decoder limits that a photo on disk goes through.
#pragma once

#include <cstddef>
#include <string>

// An anonymous file in memory, named by "/proc/self/fd/N": it has no name in any folder, so no
// other request or process can open it, and it vanishes when released.
struct PhotoFile {
    int descriptor = -1;  // -1 when it could not be made
    std::string path;
    size_t size = 0;
};

PhotoFile makePhotoFile();
// False when the bytes could not be written (no memory).
bool appendBytes(PhotoFile& file, const char* data, size_t count);
void clearBytes(PhotoFile& file);
void release(PhotoFile& file);
