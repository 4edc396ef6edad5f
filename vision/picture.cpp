#include "picture.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <vector>

namespace {

// Headers are walked a bounded number of steps (markers, chunks, entries); real files need a
// few dozen.
constexpr int maxHeaderSteps = 4096;

// n bytes at offset of file; false when it holds fewer.
bool readAt(FILE* file, uint64_t offset, unsigned char* out, size_t n) {
    return offset <= INT64_MAX && fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 &&
           fread(out, 1, n, file) == n;
}

uint64_t number(const unsigned char* bytes, int count, bool bigEndian) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = value << 8 | bytes[bigEndian ? i : count - 1 - i];
    }
    return value;
}

PictureHeader claimed(PictureFormat format, double pixels, double bytesPerPixel,
                      bool transparent = false, double extraBytes = 0.0) {
    if (!(pixels >= 1.0)) {
        return {};
    }
    return {format, pixels * bytesPerPixel + extraBytes, transparent};
}

// A picture with an alpha channel is decoded whole, four samples a pixel, then reduced to a grey
// and an alpha plane: one and a half times the decoded bytes at the peak.
double transparentBytesPerPixel(double sampleBytes) {
    return 6.0 * sampleBytes;
}

// JPEG: the first frame header, then the first scan. One scan of all components is decoded row
// by row, brightness only; progressive or component-by-component scans make the decoder keep
// two bytes per coefficient of every component plane for the whole picture.
bool isFrameMarker(int marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

PictureHeader readJpegHeader(FILE* file) {
    double pixels = 0.0;
    double planes = 0.0;  // the component planes, relative to the full picture
    int components = 0;
    bool progressive = false;
    fseeko(file, 2, SEEK_SET);
    for (int step = 0; step < maxHeaderSteps && getc(file) == 0xFF; ++step) {
        int marker = getc(file);
        while (marker == 0xFF) {
            marker = getc(file);
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            continue;  // markers without a length
        }
        const int high = getc(file);
        const int low = getc(file);
        const int length = high * 256 + low;
        if (marker < 0 || marker == 0xD8 || marker == 0xD9 || low < 0 || length < 2) {
            return {};
        }
        if (marker == 0xDA) {
            const bool oneScan = !progressive && getc(file) == components;
            return claimed(PictureFormat::Jpeg, pixels, oneScan ? 1.0 : 1.0 + 2.0 * planes);
        }
        if (!isFrameMarker(marker)) {
            fseeko(file, length - 2, SEEK_CUR);
            continue;
        }
        // Precision, height, width, component count; then three bytes per component, the
        // second holding its horizontal and vertical sampling factors.
        unsigned char frame[6 + 3 * 255];
        const size_t frameLength = static_cast<size_t>(length - 2);
        if (components > 0 || frameLength < 6 || frameLength > sizeof frame ||
            fread(frame, 1, frameLength, file) != frameLength || frame[5] == 0 ||
            frameLength != 6u + 3 * frame[5]) {
            return {};  // a second frame header, or one of the wrong length
        }
        components = frame[5];
        int widest = 1;
        int tallest = 1;
        for (int c = 0; c < components; ++c) {
            widest = std::max(widest, frame[7 + 3 * c] >> 4);
            tallest = std::max(tallest, frame[7 + 3 * c] & 15);
        }
        for (int c = 0; c < components; ++c) {
            planes += (frame[7 + 3 * c] >> 4) * (frame[7 + 3 * c] & 15) /
                      static_cast<double>(widest * tallest);
        }
        pixels = static_cast<double>(number(frame + 1, 2, true) * number(frame + 3, 2, true));
        progressive = (marker & 3) == 2;
    }
    return {};
}

// PNG: the image header, and whether a transparency chunk comes before the image data. Rows
// are decoded one by one, but the time goes with the samples inflated.
bool pngHasTransparencyChunk(FILE* file) {
    uint64_t position = 8;
    unsigned char chunk[8];
    for (int step = 0; step < maxHeaderSteps && readAt(file, position, chunk, 8); ++step) {
        if (std::memcmp(chunk + 4, "tRNS", 4) == 0) {
            return true;
        }
        if (std::memcmp(chunk + 4, "IDAT", 4) == 0) {
            return false;
        }
        position += 12 + number(chunk, 4, true);
    }
    return false;
}

PictureHeader readPngHeader(FILE* file) {
    unsigned char head[26];
    const double samplesByColourType[] = {1, 0, 3, 3, 2, 0, 4};  // palettes decode to colour
    if (!readAt(file, 0, head, sizeof head) || std::memcmp(head + 12, "IHDR", 4) != 0 ||
        head[25] > 6 || samplesByColourType[head[25]] == 0.0) {
        return {};
    }
    const int colourType = head[25];
    const bool transparent =
        colourType == 4 || colourType == 6 ||
        ((colourType == 2 || colourType == 3) && pngHasTransparencyChunk(file));
    const double sampleBytes = head[24] == 16 ? 2.0 : 1.0;
    const double pixels = static_cast<double>(number(head + 16, 4, true)) *
                          static_cast<double>(number(head + 20, 4, true));
    return claimed(PictureFormat::Png, pixels,
                   transparent ? transparentBytesPerPixel(sampleBytes)
                               : std::max(1.0, samplesByColourType[colourType] * sampleBytes),
                   transparent);
}

// TIFF: the first directory, as tag -> first value. Classic and big TIFF, either byte order.
std::optional<uint64_t> tiffValue(FILE* file, const unsigned char* entry, bool bigEndian,
                                  bool bigTiff) {
    const uint64_t type = number(entry + 2, 2, bigEndian);
    const uint64_t count = number(entry + 4, bigTiff ? 8 : 4, bigEndian);
    const unsigned char* field = entry + (bigTiff ? 12 : 8);
    const int fieldSize = bigTiff ? 8 : 4;
    const int valueSize = type == 3 ? 2 : type == 4 ? 4 : type == 16 ? 8 : 0;  // short, long
    unsigned char value[8];
    if (valueSize == 0 || count == 0) {
        return std::nullopt;
    }
    if (count <= static_cast<uint64_t>(fieldSize / valueSize)) {
        return number(field, valueSize, bigEndian);  // the value sits in the entry
    }
    if (!readAt(file, number(field, fieldSize, bigEndian), value, valueSize)) {
        return std::nullopt;
    }
    return number(value, valueSize, bigEndian);
}

std::map<uint64_t, uint64_t> readTiffDirectory(FILE* file) {
    unsigned char head[16];
    std::map<uint64_t, uint64_t> tags;
    if (!readAt(file, 0, head, sizeof head)) {
        return tags;
    }
    const bool bigEndian = head[0] == 'M';
    const bool bigTiff = number(head + 2, 2, bigEndian) == 43;
    const uint64_t directory = number(head + (bigTiff ? 8 : 4), bigTiff ? 8 : 4, bigEndian);
    const int countSize = bigTiff ? 8 : 2;
    const size_t entrySize = bigTiff ? 20 : 12;
    unsigned char countBytes[8];
    if (!readAt(file, directory, countBytes, countSize)) {
        return tags;
    }
    const uint64_t entries = number(countBytes, countSize, bigEndian);
    std::vector<unsigned char> table(std::min<uint64_t>(entries, maxHeaderSteps) * entrySize);
    if (entries > maxHeaderSteps ||
        !readAt(file, directory + countSize, table.data(), table.size())) {
        return tags;
    }
    for (size_t e = 0; e < entries; ++e) {
        const unsigned char* entry = table.data() + e * entrySize;
        if (const std::optional<uint64_t> value = tiffValue(file, entry, bigEndian, bigTiff)) {
            tags[number(entry, 2, bigEndian)] = *value;
        }
    }
    return tags;
}

// The decoder works through the stored samples and converts each strip or tile in a buffer of
// four bytes a pixel (more for 16-bit colour).
PictureHeader readTiffHeader(FILE* file) {
    const std::map<uint64_t, uint64_t> tags = readTiffDirectory(file);
    const auto tag = [&](uint64_t id, uint64_t otherwise) {
        const auto found = tags.find(id);
        return static_cast<double>(found == tags.end() ? otherwise : found->second);
    };
    const double width = tag(256, 0);
    const double height = tag(257, 0);
    if (tag(339, 1) == 3) {
        return {};  // floating-point samples: no 8-bit grey
    }
    const double sampleBytes = std::max(1.0, std::ceil(tag(258, 1) / 8.0));
    const double stored = tag(277, 1) * sampleBytes;
    const auto orWhole = [](double size, double whole) { return size == 0 ? whole : size; };
    const bool tiled = tags.count(322) > 0 || tags.count(323) > 0;
    const double bufferPixels = tiled ? orWhole(tag(322, 0), width) * orWhole(tag(323, 0), height)
                                      : width * std::min(orWhole(tag(278, 0), height), height);
    const bool transparent = tag(277, 1) == 4 && tag(262, 0) == 2;  // RGB with alpha
    return claimed(PictureFormat::Tiff, width * height,
                   transparent ? transparentBytesPerPixel(sampleBytes) : std::max(1.0, stored),
                   transparent, bufferPixels * std::max(4.0, stored));
}

// WebP: the file is read whole, then decoded into three or four bytes a pixel before the grey.
PictureHeader readWebPHeader(FILE* file, uint64_t fileSize) {
    unsigned char head[30];
    if (!readAt(file, 0, head, sizeof head)) {
        return {};
    }
    const uint64_t bits = number(head + 21, 4, false);
    double pixels = 0.0;
    bool transparent = false;
    if (std::memcmp(head + 12, "VP8 ", 4) == 0 && std::memcmp(head + 23, "\x9D\x01\x2A", 3) == 0) {
        pixels = static_cast<double>((number(head + 26, 2, false) & 0x3FFF) *
                                     (number(head + 28, 2, false) & 0x3FFF));
    } else if (std::memcmp(head + 12, "VP8L", 4) == 0 && head[20] == 0x2F) {
        pixels = static_cast<double>(((bits & 0x3FFF) + 1) * ((bits >> 14 & 0x3FFF) + 1));
        transparent = (bits >> 28 & 1) != 0;
    } else if (std::memcmp(head + 12, "VP8X", 4) == 0 && (head[20] & 0x02) == 0) {  // no animation
        pixels = static_cast<double>(number(head + 24, 3, false) + 1) *
                 static_cast<double>(number(head + 27, 3, false) + 1);
        transparent = (head[20] & 0x10) != 0;
    }
    return claimed(PictureFormat::WebP, pixels, transparent ? transparentBytesPerPixel(1.0) : 4.0,
                   transparent, static_cast<double>(fileSize));
}

// BMP: decoded row by row into the grey picture; a negative height means top-down rows.
PictureHeader readBmpHeader(FILE* file) {
    unsigned char head[26];
    if (!readAt(file, 0, head, sizeof head)) {
        return {};
    }
    const uint64_t infoSize = number(head + 14, 4, false);
    const bool old = infoSize == 12;  // OS/2 header: 16-bit sizes
    const auto size = [&](int offset) {
        return old ? static_cast<double>(number(head + offset, 2, false))
                   : static_cast<double>(static_cast<int32_t>(number(head + offset, 4, false)));
    };
    const double width = size(18);
    const double height = std::fabs(size(old ? 20 : 22));
    return claimed(PictureFormat::Bmp, (old || infoSize >= 36) && width > 0 ? width * height : 0,
                   1.0);
}

// PBM, PGM, PPM: decimal numbers after the tag, separated by blanks or # comments; the samples
// are read row by row from the file, which holds them all.
std::optional<double> readPnmNumber(FILE* file) {
    int c = getc(file);
    while (c < '0' || c > '9') {
        if (c == '#') {
            while (c != '\n' && c != '\r' && c != EOF) {
                c = getc(file);
            }
        } else if (c != ' ' && (c < '\t' || c > '\r')) {
            return std::nullopt;
        }
        c = getc(file);
    }
    double value = 0.0;
    for (; c >= '0' && c <= '9' && value <= INT32_MAX; c = getc(file)) {
        value = value * 10.0 + (c - '0');
    }
    return value <= INT32_MAX ? std::optional<double>(value) : std::nullopt;
}

PictureHeader readPnmHeader(FILE* file) {
    fseeko(file, 2, SEEK_SET);
    const std::optional<double> width = readPnmNumber(file);
    const std::optional<double> height = width ? readPnmNumber(file) : std::nullopt;
    return height ? claimed(PictureFormat::Pnm, *width * *height, 1.0) : PictureHeader{};
}

// The format by the signatures the image library picks its decoder by.
PictureHeader readHeaderOf(FILE* file, uint64_t fileSize) {
    unsigned char s[12] = {};
    const size_t n = fread(s, 1, sizeof s, file);
    const auto starts = [&](const char* text, size_t length) {
        return n >= length && std::memcmp(s, text, length) == 0;
    };
    if (starts("\xFF\xD8\xFF", 3)) {
        return readJpegHeader(file);
    }
    if (starts("\x89PNG\r\n\x1A\n", 8)) {
        return readPngHeader(file);
    }
    if (starts("II*\0", 4) || starts("MM\0*", 4) || starts("II+\0", 4) || starts("MM\0+", 4)) {
        return readTiffHeader(file);
    }
    if (starts("RIFF", 4) && n == 12 && std::memcmp(s + 8, "WEBP", 4) == 0) {
        return readWebPHeader(file, fileSize);
    }
    if (starts("BM", 2)) {
        return readBmpHeader(file);
    }
    if (n >= 3 && s[0] == 'P' && s[1] >= '1' && s[1] <= '6' &&
        (s[2] == ' ' || (s[2] >= '\t' && s[2] <= '\r'))) {
        return readPnmHeader(file);
    }
    return {};
}

// Transparent is background: each pixel's grey is weighted by its opacity over white.
cv::Mat compositeOverWhite(cv::Mat picture) {
    cv::Mat grey;
    cv::Mat alpha;
    cv::cvtColor(picture, grey, cv::COLOR_BGRA2GRAY);
    cv::extractChannel(picture, alpha, 3);
    picture.release();
    if (grey.depth() != CV_8U) {
        grey.convertTo(grey, CV_8U, 255.0 / 65535.0);
        alpha.convertTo(alpha, CV_8U, 255.0 / 65535.0);
    }
    cv::multiply(grey, alpha, grey, 1.0 / 255.0);
    cv::subtract(cv::Scalar(255), alpha, alpha);
    cv::add(grey, alpha, grey);
    return grey;
}

}  // namespace

PictureHeader readPictureHeader(const std::string& path) {
    // Opened without waiting, so a FIFO or a device cannot block; only regular files are read.
    const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (descriptor < 0 || fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        if (descriptor >= 0) {
            close(descriptor);
        }
        return {};
    }
    FILE* file = fdopen(descriptor, "rb");
    if (file == nullptr) {
        close(descriptor);
        return {};
    }
    const PictureHeader header = readHeaderOf(file, static_cast<uint64_t>(status.st_size));
    fclose(file);
    return header;
}

cv::Mat readGreyPicture(const std::string& path) {
    const PictureHeader header = readPictureHeader(path);
    if (header.format == PictureFormat::Unknown || header.decodingBytes > maxDecodingBytes) {
        return cv::Mat();
    }
    try {
        if (header.transparent) {
            cv::Mat whole = cv::imread(path, cv::IMREAD_UNCHANGED);
            if (whole.channels() == 4 && (whole.depth() == CV_8U || whole.depth() == CV_16U)) {
                return compositeOverWhite(std::move(whole));
            }
        }
        cv::Mat grey = cv::imread(path, cv::IMREAD_GRAYSCALE);
        return grey.type() == CV_8UC1 ? grey : cv::Mat();
    } catch (const std::exception&) {
        // The decoder refused the file (cv::Exception) or memory ran out: not a picture.
        return cv::Mat();
    }
}
