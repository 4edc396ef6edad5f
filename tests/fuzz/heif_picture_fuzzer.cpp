// libFuzzer target for the HEIF reader (HEIC, AVIF): files grown from small HEIC and AVIF seeds
// (made by heif-enc) go through the header reader and, when it lets them through, the decoder.
// The box walk must stay inside the file (ASan, UBSan); a picture that decodes may hold no more
// pixels than its header said (libheif only turns and crops) and must take no more processor
// time than estimated, with a quarter second for the libraries' set-up.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <opencv2/core.hpp>
#include <string>

#include "picture.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int file = memfd_create("picture", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(file);
    if (ftruncate(file, 0) != 0 || pwrite(file, data, size, 0) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    const PictureHeader header = readPictureHeader(path);
    if (header.format != PictureFormat::Heif || !isAffordable(header)) {
        return 0;
    }
    const std::clock_t start = std::clock();
    const cv::Mat grey = readGreyPicture(path);
    const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    if (static_cast<double>(grey.total()) > header.pixels ||
        seconds > 0.25 + 2.0 * header.decodingSeconds) {
        std::fprintf(stderr, "estimated %.0f pixels and %.3f s, took %zu pixels and %.3f s\n",
                     header.pixels, header.decodingSeconds, grey.total(), seconds);
        std::abort();
    }
    return 0;
}
