#include "picture.hpp"

#include "heif_picture.hpp"

#include <fcntl.h>
#include <jpeglib.h>
// after jpeglib.h, which it needs
#include <jerror.h>
#include <setjmp.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>
#include <webp/decode.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <vector>

namespace {

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

}  // namespace

// The EXIF orientation (1 to 8) in a TIFF structure held in memory; 1 when there is none. Read
// as the image library reads it: the first directory's tag 0x0112, a short in the entry.
int exifOrientation(const unsigned char* data, size_t size) {
    if (size < 8 || (data[0] != 'I' && data[0] != 'M')) {
        return 1;
    }
    const bool bigEndian = data[0] == 'M';
    const uint64_t directory = number(data + 4, 4, bigEndian);
    if (directory > size || size - directory < 2) {
        return 1;
    }
    const uint64_t entries = number(data + directory, 2, bigEndian);
    for (uint64_t e = 0; e < entries && directory + 2 + 12 * (e + 1) <= size; ++e) {
        const unsigned char* entry = data + directory + 2 + 12 * e;
        if (number(entry, 2, bigEndian) == 0x0112) {
            const uint64_t value = number(entry + 8, 2, bigEndian);
            return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
        }
    }
    return 1;
}

namespace {

// Where the stored picture's rows and columns go in the upright one, by EXIF orientation: the
// turns and mirrors the image library makes, made while the rows are decoded, so that no
// second copy of the picture is needed.
struct Turn {
    bool transposed = false;   // stored rows become columns
    bool flipRows = false;     // then upside down
    bool flipColumns = false;  // then mirrored left to right
};

Turn turnFor(int orientation) {
    return {orientation >= 5,
            orientation == 3 || orientation == 4 || orientation == 7 || orientation == 8,
            orientation == 2 || orientation == 3 || orientation == 6 || orientation == 7};
}

PictureHeader claimed(PictureFormat format, double pixels, double bytesPerPixel,
                      bool transparent = false, double extraBytes = 0.0) {
    if (!(pixels >= 1.0)) {
        return {};
    }
    PictureHeader header;
    header.format = format;
    header.decodingBytes = pixels * bytesPerPixel + extraBytes;
    header.transparent = transparent;
    header.pixels = pixels;
    return header;
}

// Processor time of decoding one pixel, for the largest pictures of each kind on a two-core AMD
// EPYC shared with other work: JPEG 4 ns (10 when the turn swaps rows and columns), PNG 6 (8
// turned), TIFF 8, WebP 16, BMP and PBM/PGM/PPM 4; compositing over white 4 more.
double decodingNanosecondsPerPixel(const PictureHeader& header) {
    const bool swapped = turnFor(header.orientation).transposed;
    double nanoseconds = 4.0;
    switch (header.format) {
        case PictureFormat::Jpeg:
            nanoseconds = swapped ? 10.0 : 4.0;
            break;
        case PictureFormat::Png:
            nanoseconds = swapped ? 8.0 : 6.0;
            break;
        case PictureFormat::Tiff:
            nanoseconds = 8.0;
            break;
        case PictureFormat::WebP:
            nanoseconds = 16.0;
            break;
        case PictureFormat::Heif:
            return 0.0;  // told by the HEIF reader, which knows the file's every image
        default:
            break;
    }
    return nanoseconds + (header.transparent ? 4.0 : 0.0);
}

// A picture with an alpha channel is decoded whole, four samples a pixel, then reduced to a grey
// and an alpha plane: one and a half times the decoded bytes at the peak.
double transparentBytesPerPixel(double sampleBytes) {
    return 6.0 * sampleBytes;
}

// JPEG goes through the JPEG library directly, so that nothing it has to make up passes: a
// warning is a corrupt file (data ending early, a damaged code, a marker out of place, stray
// bytes inside the data, an impossible progression) except the three about metadata only.
// Bytes after the end-of-image marker are never read.
struct JpegReading {
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    jpeg_progress_mgr progress{};
    jmp_buf failed{};
    long maxScans = 0;
};

[[noreturn]] void failJpeg(j_common_ptr info) {
    longjmp(static_cast<JpegReading*>(info->client_data)->failed, 1);
}

void onJpegMessage(j_common_ptr info, int level) {
    const int code = info->err->msg_code;
    if (level < 0 && code != JWRN_JFIF_MAJOR && code != JWRN_ADOBE_XFORM &&
        code != JWRN_BOGUS_ICC) {
        failJpeg(info);
    }
}

// Each scan walks every block again; a file that repeats cheap scans would take minutes.
void limitScans(j_common_ptr info) {
    JpegReading& reading = *static_cast<JpegReading*>(info->client_data);
    if (reading.info.input_scan_number > reading.maxScans) {
        failJpeg(info);
    }
}

// The blocks of 8 x 8 coefficients of all components, as the decoder stores them.
double jpegBlocks(const jpeg_decompress_struct& info) {
    double blocks = 0.0;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& component = info.comp_info[c];
        const auto roundUp = [](double value, int step) { return std::ceil(value / step) * step; };
        blocks += roundUp(component.width_in_blocks, component.h_samp_factor) *
                  roundUp(component.height_in_blocks, component.v_samp_factor);
    }
    return blocks;
}

// Starts reading file, from its start, into reading, up to the first scan. The library jumps to
// reading.failed when it refuses the header.
void startJpeg(JpegReading& reading, FILE* file) {
    reading.info.err = jpeg_std_error(&reading.errors);
    reading.errors.error_exit = failJpeg;
    reading.errors.emit_message = onJpegMessage;
    reading.info.client_data = &reading;
    jpeg_create_decompress(&reading.info);
    fseeko(file, 0, SEEK_SET);
    jpeg_stdio_src(&reading.info, file);
    jpeg_save_markers(&reading.info, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(&reading.info, TRUE);
}

// The first APP1 segment, after its six bytes of "Exif\0\0", as the image library takes it.
int jpegOrientation(const jpeg_decompress_struct& info) {
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 1) {
            return marker->data_length > 6
                       ? exifOrientation(marker->data + 6, marker->data_length - 6)
                       : 1;
        }
    }
    return 1;
}

// Rows are decoded a batch at a time: enough for a turn to write whole cache lines.
constexpr int jpegRowsAtOnce = 64;

// Rows go through a batch only when a turn swaps rows and columns, or to convert CMYK; all
// others are decoded straight into their place in the upright picture.
bool jpegNeedsBatch(const Turn& turn, int components) {
    return turn.transposed || components == 4;
}

// The header as the decoder reads it. One scan of all components is decoded row by row into the
// grey picture, through a batch of rows where one is needed (of four bytes a pixel more for
// CMYK); progressive or component-by-component scans make the decoder keep 128 bytes a block of
// every component for the whole picture.
PictureHeader readJpegHeader(FILE* file) {
    JpegReading reading;
    PictureHeader header;
    if (setjmp(reading.failed) == 0) {
        startJpeg(reading, file);
        const jpeg_decompress_struct& info = reading.info;
        const bool oneScan = !info.progressive_mode && info.comps_in_scan == info.num_components;
        const int orientation = jpegOrientation(info);
        const double batch = jpegNeedsBatch(turnFor(orientation), info.num_components)
                                 ? jpegRowsAtOnce * (info.num_components == 4 ? 5.0 : 1.0)
                                 : 0.0;
        header = claimed(PictureFormat::Jpeg,
                         static_cast<double>(info.image_width) * info.image_height, 1.0, false,
                         batch * info.image_width + (oneScan ? 0.0 : 128.0 * jpegBlocks(info)));
        header.orientation = orientation;
    }
    jpeg_destroy_decompress(&reading.info);
    return header;
}

// Puts the first count rows of rows, the stored rows first .. first + count - 1, into upright.
void placeRows(const cv::Mat& rows, int count, int first, const Turn& turn, cv::Mat& upright) {
    const int width = rows.cols;
    if (!turn.transposed) {
        for (int r = 0; r < count; ++r) {
            const int y = first + r;
            const uchar* source = rows.ptr(r);
            uchar* target = upright.ptr(turn.flipRows ? upright.rows - 1 - y : y);
            if (turn.flipColumns) {
                std::reverse_copy(source, source + width, target);
            } else {
                std::copy(source, source + width, target);
            }
        }
        return;
    }
    for (int x = 0; x < width; ++x) {
        uchar* target = upright.ptr(turn.flipRows ? upright.rows - 1 - x : x);
        for (int r = 0; r < count; ++r) {
            const int y = first + r;
            target[turn.flipColumns ? upright.cols - 1 - y : y] = rows.at<uchar>(r, x);
        }
    }
}

// The grey of a colour as the image library makes it.
uchar colourGrey(int red, int green, int blue) {
    const int r = static_cast<int>(0.299 * (1 << 14) + 0.5);
    const int g = static_cast<int>(0.587 * (1 << 14) + 0.5);
    const int b = (1 << 14) - r - g;
    return static_cast<uchar>((blue * b + green * g + red * r + (1 << 13)) >> 14);
}

// The grey of a CMYK pixel as the image library makes it.
uchar cmykGrey(const uchar* cmyk) {
    const int k = cmyk[3];
    return colourGrey(k - ((255 - cmyk[0]) * k >> 8), k - ((255 - cmyk[1]) * k >> 8),
                      k - ((255 - cmyk[2]) * k >> 8));
}

// Decodes the started reading into upright, a batch of rows at a time through rows (and cmyk
// for four components); false when the library gives up or warns. No object with a destructor
// lives in this frame, which the library may leave by a long jump.
bool decodeJpegRows(JpegReading& reading, cv::Mat& upright, cv::Mat& rows, cv::Mat& cmyk,
                    const Turn& turn) {
    if (setjmp(reading.failed) != 0) {
        return false;
    }
    jpeg_decompress_struct& info = reading.info;
    const bool fourComponents = info.num_components == 4;
    jpeg_start_decompress(&info);
    while (info.output_scanline < info.output_height) {
        const int first = static_cast<int>(info.output_scanline);
        const int count =
            std::min<int>(jpegRowsAtOnce, static_cast<int>(info.output_height) - first);
        const bool direct = !jpegNeedsBatch(turn, info.num_components);
        JSAMPROW pointers[jpegRowsAtOnce];
        for (int r = 0; r < count; ++r) {
            const int y = first + r;
            pointers[r] = direct           ? upright.ptr(turn.flipRows ? upright.rows - 1 - y : y)
                          : fourComponents ? cmyk.ptr(r)
                                           : rows.ptr(r);
        }
        for (int done = 0; done < count;) {
            done += static_cast<int>(jpeg_read_scanlines(&info, pointers + done, count - done));
        }
        if (direct) {
            for (int r = 0; turn.flipColumns && r < count; ++r) {
                std::reverse(pointers[r], pointers[r] + upright.cols);
            }
            continue;
        }
        for (int r = 0; fourComponents && r < count; ++r) {
            for (int x = 0; x < rows.cols; ++x) {
                rows.ptr(r)[x] = cmykGrey(cmyk.ptr(r) + 4 * x);
            }
        }
        placeRows(rows, count, first, turn, upright);
    }
    jpeg_finish_decompress(&info);
    return true;
}

cv::Mat readJpegGrey(FILE* file) {
    JpegReading reading;
    cv::Mat upright;
    cv::Mat rows;
    cv::Mat cmyk;
    bool read = false;
    if (setjmp(reading.failed) == 0) {
        startJpeg(reading, file);
        jpeg_decompress_struct& info = reading.info;
        info.out_color_space = info.num_components == 4 ? JCS_CMYK : JCS_GRAYSCALE;
        reading.maxScans = std::min(
            maxJpegScans, static_cast<long>(maxJpegScanBlocks / std::max(1.0, jpegBlocks(info))));
        reading.progress.progress_monitor = limitScans;
        info.progress = &reading.progress;
        const Turn turn = turnFor(jpegOrientation(info));
        const int width = static_cast<int>(info.image_width);
        const int height = static_cast<int>(info.image_height);
        upright.create(turn.transposed ? width : height, turn.transposed ? height : width, CV_8UC1);
        if (jpegNeedsBatch(turn, info.num_components)) {
            rows.create(jpegRowsAtOnce, width, CV_8UC1);
        }
        if (info.num_components == 4) {
            cmyk.create(jpegRowsAtOnce, 4 * width, CV_8UC1);
        }
        read = decodeJpegRows(reading, upright, rows, cmyk, turn);
    }
    jpeg_destroy_decompress(&reading.info);
    return read ? upright : cv::Mat();
}

// PNG: the image header, and the chunks before the image data that change how it is read: a
// transparency chunk, and an EXIF orientation. Rows are decoded one by one, but the time goes
// with the samples inflated; a turn that swaps rows and columns takes a second grey picture.
// The PNG library sets aside the whole length a chunk claims, before the image data or after
// it, before reading it: every chunk is walked, and one that claims more than the file holds
// refuses the file.
struct PngChunks {
    bool transparency = false;
    uint64_t transparentGrey = 0;  // the grey sample a grey picture's transparency chunk names
    int orientation = 1;
    double exifBytes = 0.0;      // held by the PNG library and copied by the image library
    double inflatedBytes = 0.0;  // what the compressed text and profile chunks inflate to
    bool cut = false;            // a chunk claims more than the file holds, or the walk did not end
};

// The PNG library skips any chunk but the image data of more than 8,000,000 bytes, and inflates
// a compressed chunk to at most as many (its default limits). It inflates every compressed text
// (zTXt, iTXt with its flag set) and colour profile (iCCP) wherever it stands, and keeps each
// text it inflated whole: 2.5 ns a byte inflated here, and the bytes themselves.
constexpr uint64_t maxPngChunkBytes = 8000000;
constexpr double pngInflatingSecondsPerByte = 3e-9;

// Where the compressed data of a zTXt, iTXt or iCCP chunk starts in data, after its keyword
// (and for iTXt its flags, language and translated keyword); data.size() when it has none.
size_t compressedTextStart(const std::vector<unsigned char>& data, bool international) {
    const auto afterNul = [&](size_t from) {
        const auto nul = std::find(data.begin() + std::min(from, data.size()), data.end(), 0);
        return nul == data.end() ? data.size() : static_cast<size_t>(nul - data.begin()) + 1;
    };
    const size_t keywordEnd = afterNul(0);
    if (!international) {
        return std::min(keywordEnd + 1, data.size());  // the compression method byte
    }
    if (keywordEnd + 2 > data.size() || data[keywordEnd] == 0) {
        return data.size();  // an iTXt chunk whose text is not compressed
    }
    return afterNul(afterNul(keywordEnd + 2));
}

// Counts what zlib streams inflate to, with one stream and buffer for all chunks of a file: a
// file may hold a million small ones.
class InflationCounter {
  public:
    InflationCounter() : ready_(inflateInit(&stream_) == Z_OK), piece_(1 << 16) {}
    ~InflationCounter() {
        if (ready_) {
            inflateEnd(&stream_);
        }
    }
    InflationCounter(const InflationCounter&) = delete;
    InflationCounter& operator=(const InflationCounter&) = delete;

    // The bytes the stream in data inflates to, counted in pieces up to limit (and one beyond).
    double inflatedSize(const unsigned char* data, size_t size, double limit) {
        if (!ready_ || inflateReset(&stream_) != Z_OK) {
            return 0.0;
        }
        stream_.next_in = const_cast<unsigned char*>(data);
        stream_.avail_in = static_cast<uInt>(size);
        double inflated = 0.0;
        for (int status = Z_OK; status == Z_OK && inflated <= limit;) {
            stream_.next_out = piece_.data();
            stream_.avail_out = static_cast<uInt>(piece_.size());
            status = inflate(&stream_, Z_NO_FLUSH);
            const size_t out = piece_.size() - stream_.avail_out;
            inflated += static_cast<double>(out);
            if (out == 0) {
                break;  // the data ends before the stream does
            }
        }
        return inflated;
    }

    // What the compressed chunk of length bytes at position inflates to in the PNG library, up
    // to limit.
    double chunkBytes(FILE* file, uint64_t position, uint64_t length, bool international,
                      double limit) {
        if (length > maxPngChunkBytes) {
            return 0.0;  // skipped unread
        }
        data_.resize(static_cast<size_t>(length));
        if (!readAt(file, position + 8, data_.data(), data_.size())) {
            return 0.0;
        }
        const size_t start = compressedTextStart(data_, international);
        return inflatedSize(data_.data() + start, data_.size() - start,
                            std::min<double>(limit, maxPngChunkBytes));
    }

  private:
    z_stream stream_{};
    bool ready_ = false;
    std::vector<unsigned char> piece_;
    std::vector<unsigned char> data_;
};

constexpr int maxPngChunks = 1 << 20;  // a 2 GB picture in chunks of 8 KiB has 250,000

PngChunks readPngChunks(FILE* file, uint64_t fileSize) {
    PngChunks found;
    found.cut = true;
    InflationCounter inflation;
    bool beforeImage = true;
    uint64_t position = 8;
    unsigned char chunk[10];
    for (int step = 0; step < maxPngChunks; ++step) {
        if (!readAt(file, position, chunk, 8)) {
            found.cut = false;  // the file ends: the decoder will find it cut short
            break;
        }
        const uint64_t length = number(chunk, 4, true);
        if (length > fileSize - position - 8) {
            break;
        }
        const auto is = [&](const char* kind) { return std::memcmp(chunk + 4, kind, 4) == 0; };
        beforeImage = beforeImage && !is("IDAT");
        if (is("tRNS") && beforeImage) {
            found.transparency = true;
            found.transparentGrey =
                readAt(file, position + 8, chunk + 8, 2) ? number(chunk + 8, 2, true) : 0;
        }
        if (is("zTXt") || is("iTXt") || is("iCCP")) {
            found.inflatedBytes += inflation.chunkBytes(file, position, length, is("iTXt"),
                                                        maxDecodingBytes - found.inflatedBytes);
            if (found.inflatedBytes > maxDecodingBytes) {
                found.cut = false;
                break;  // refused for its size: no need to count on
            }
        }
        if (is("eXIf")) {
            found.exifBytes += 2.0 * static_cast<double>(length);
            std::vector<unsigned char> exif(std::min<uint64_t>(length, 1 << 16));
            if (beforeImage && readAt(file, position + 8, exif.data(), exif.size())) {
                found.orientation = exifOrientation(exif.data(), exif.size());
            }
        }
        if (is("IEND")) {
            found.cut = false;
            break;
        }
        position += 12 + length;
    }
    return found;
}

PictureHeader readPngHeader(FILE* file, uint64_t fileSize) {
    unsigned char head[26];
    const double samplesByColourType[] = {1, 0, 3, 3, 2, 0, 4};  // palettes decode to colour
    if (!readAt(file, 0, head, sizeof head) || std::memcmp(head + 12, "IHDR", 4) != 0 ||
        head[25] > 6 || samplesByColourType[head[25]] == 0.0) {
        return {};
    }
    const int colourType = head[25];
    const int depth = head[24];
    const PngChunks chunks = readPngChunks(file, fileSize);
    if (chunks.cut) {
        return {};
    }
    const bool transparent =
        colourType == 4 || colourType == 6 ||
        ((colourType == 0 || colourType == 2 || colourType == 3) && chunks.transparency);
    const double sampleBytes = depth == 16 ? 2.0 : 1.0;
    const double pixels = static_cast<double>(number(head + 16, 4, true)) *
                          static_cast<double>(number(head + 20, 4, true));
    PictureHeader header =
        claimed(PictureFormat::Png, pixels,
                (transparent ? transparentBytesPerPixel(sampleBytes)
                             : std::max(1.0, samplesByColourType[colourType] * sampleBytes)) +
                    (turnFor(chunks.orientation).transposed ? 1.0 : 0.0),
                transparent, chunks.exifBytes + chunks.inflatedBytes);
    header.orientation = chunks.orientation;
    header.decodingSeconds = chunks.inflatedBytes * pngInflatingSecondsPerByte;
    if (colourType == 0 && chunks.transparency && depth >= 1 && depth <= 16) {
        // Samples of fewer than 8 bits are decoded scaled up to 8 bits.
        header.transparentGrey =
            static_cast<int>(depth >= 8 ? chunks.transparentGrey
                                        : (chunks.transparentGrey & ((1u << depth) - 1)) * 255 /
                                              ((1u << depth) - 1));
    }
    return header;
}

// TIFF: the first directory as the TIFF library itself takes it (the one the image library
// decodes with), so that every field has the value the decoder will see.
struct TiffFields {
    uint32_t width = 0, height = 0, rowsPerStrip = 0, tileWidth = 0, tileHeight = 0;
    uint16_t samples = 1, bits = 1, format = 1, photometric = 0;
    bool tiled = false, alpha = false;
};

int silentTiffMessage(TIFF*, void*, const char*, const char*, va_list) {
    return 1;  // handled: the library prints nothing
}

// The file at descriptor opened by the TIFF library, silent and within a memory limit; null
// when it refuses it. Offsets of strips and tiles are read only when needed.
TIFF* openTiff(int descriptor, const char* mode) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, 64 << 20);
    TIFFOpenOptionsSetErrorHandlerExtR(options, silentTiffMessage, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, silentTiffMessage, nullptr);
    const int own = dup(descriptor);
    TIFF* tiff = own >= 0 && lseek(own, 0, SEEK_SET) == 0
                     ? TIFFFdOpenExt(own, "picture", mode, options)
                     : nullptr;
    if (tiff == nullptr && own >= 0) {
        close(own);
    }
    TIFFOpenOptionsFree(options);
    return tiff;
}

std::optional<TiffFields> readTiffFields(FILE* file) {
    TIFF* tiff = openTiff(fileno(file), "rO");
    if (tiff == nullptr) {
        return std::nullopt;
    }
    TiffFields f;
    uint16_t extraCount = 0;
    uint16_t* extra = nullptr;
    const bool sized = TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &f.width) == 1 &&
                       TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &f.height) == 1;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &f.samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &f.bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &f.format);
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &f.photometric);
    TIFFGetField(tiff, TIFFTAG_ROWSPERSTRIP, &f.rowsPerStrip);
    f.tiled = TIFFIsTiled(tiff) != 0;
    if (f.tiled) {
        TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &f.tileWidth);
        TIFFGetField(tiff, TIFFTAG_TILELENGTH, &f.tileHeight);
    }
    if (TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) == 1 && extraCount > 0) {
        f.alpha = extra[0] == EXTRASAMPLE_ASSOCALPHA || extra[0] == EXTRASAMPLE_UNASSALPHA;
    }
    TIFFClose(tiff);
    return sized ? std::optional<TiffFields>(f) : std::nullopt;
}

// The decoder works through the stored samples and converts each strip or tile in a buffer of
// four bytes a pixel (more for 16-bit colour), and a second one of four bytes a pixel. A picture
// with an alpha channel is read whole as four bytes a pixel by the TIFF library.
PictureHeader readTiffHeader(FILE* file) {
    const std::optional<TiffFields> fields = readTiffFields(file);
    if (!fields || fields->format == SAMPLEFORMAT_IEEEFP) {
        return {};  // floating-point samples: no 8-bit grey
    }
    const TiffFields& f = *fields;
    const double width = f.width;
    const double height = f.height;
    const double sampleBytes = std::max(1.0, std::ceil(f.bits / 8.0));
    const double stored = f.samples * sampleBytes;
    const auto orWhole = [](double size, double whole) { return size == 0 ? whole : size; };
    // The decoder's buffer is as tall as a strip says, even a strip taller than the picture.
    const double bufferPixels = f.tiled
                                    ? orWhole(f.tileWidth, width) * orWhole(f.tileHeight, height)
                                    : width * orWhole(f.rowsPerStrip, height);
    const bool transparent =
        f.alpha && ((f.samples == 2 && f.photometric <= PHOTOMETRIC_MINISBLACK) ||
                    (f.samples == 4 && f.photometric == PHOTOMETRIC_RGB));
    return claimed(PictureFormat::Tiff, width * height,
                   transparent ? transparentBytesPerPixel(1.0) : std::max(1.0, stored), transparent,
                   bufferPixels * (std::max(4.0, stored) + 4.0));
}

// WebP: the file is read whole, then decoded into three or four bytes a pixel before the grey.
// The lossless decoder keeps four bytes a pixel of its own besides; lossy alpha a plane more.
PictureHeader readWebPHeader(FILE* file, uint64_t fileSize) {
    if (fileSize > maxDecodingBytes) {
        return {};
    }
    std::vector<unsigned char> data(static_cast<size_t>(fileSize));
    WebPBitstreamFeatures features{};
    if (!readAt(file, 0, data.data(), data.size()) ||
        WebPGetFeatures(data.data(), data.size(), &features) != VP8_STATUS_OK ||
        features.has_animation) {
        return {};
    }
    const bool lossless = features.format == 2;
    const double perPixel =
        (features.has_alpha ? transparentBytesPerPixel(1.0) : 4.0) + (lossless             ? 4.0
                                                                      : features.has_alpha ? 1.0
                                                                                           : 0.0);
    return claimed(PictureFormat::WebP, static_cast<double>(features.width) * features.height,
                   perPixel, features.has_alpha != 0, static_cast<double>(fileSize));
}

// A BMP of 8- or 4-bit palette indices in runs (RLE8, RLE4). Some writers let a run pass the
// end of its row (ImageMagick pads odd widths), which other readers clip and the image library
// carries into the next row, striping the picture: such files are decoded here, clipped.
struct BmpRuns {
    int bits = 0;  // 8 or 4; 0 for a BMP not in runs
    uint64_t palette = 0, data = 0;
    int colours = 0, width = 0, height = 0;
};

BmpRuns bmpRuns(FILE* file) {
    unsigned char head[54] = {};
    BmpRuns runs;
    if (!readAt(file, 0, head, sizeof head) || number(head + 14, 4, false) < 40) {
        return runs;
    }
    const uint64_t compression = number(head + 30, 4, false);
    const uint64_t bits = number(head + 28, 2, false);
    const auto width = static_cast<int32_t>(number(head + 18, 4, false));
    const auto height = static_cast<int32_t>(number(head + 22, 4, false));
    if (!((compression == 1 && bits == 8) || (compression == 2 && bits == 4)) || width <= 0 ||
        height <= 0) {
        return runs;  // runs are stored bottom-up only
    }
    const uint64_t used = number(head + 46, 4, false);
    runs.bits = static_cast<int>(bits);
    runs.colours = used == 0 || used > (1u << bits) ? 1 << bits : static_cast<int>(used);
    runs.palette = 14 + number(head + 14, 4, false);
    runs.data = number(head + 10, 4, false);
    runs.width = width;
    runs.height = height;
    return runs;
}

// Walks the runs of a BMP, putting each index into indices (stored rows, bottom first) when it
// is given; true when a run passes the end of its row. Pixels beyond the picture are dropped.
bool walkBmpRuns(FILE* file, const BmpRuns& runs, cv::Mat* indices) {
    if (fseeko(file, static_cast<off_t>(std::min<uint64_t>(runs.data, INT64_MAX)), SEEK_SET) != 0) {
        return false;
    }
    bool passed = false;
    int64_t x = 0;
    int64_t y = 0;
    const auto put = [&](int index) {
        if (indices != nullptr && x < runs.width && y < runs.height) {
            indices->at<uchar>(static_cast<int>(y), static_cast<int>(x)) =
                static_cast<uchar>(index);
        }
        ++x;
    };
    for (int count = getc(file), code = getc(file); code != EOF && y < runs.height;
         count = getc(file), code = getc(file)) {
        const int64_t before = x;
        if (count > 0) {  // a run of count pixels of one index, or of two alternating
            // Only the pixels within the row are put: a file of runs past it costs no more.
            const int within = indices != nullptr
                                   ? static_cast<int>(std::clamp<int64_t>(runs.width - x, 0, count))
                                   : 0;
            for (int i = 0; i < within; ++i) {
                put(runs.bits == 8 ? code : i % 2 == 0 ? code >> 4 : code & 15);
            }
            x += count - within;
        } else if (code == 0) {
            x = 0;
            ++y;
        } else if (code == 1) {
            break;
        } else if (code == 2) {  // a jump right and up
            const int right = getc(file);
            const int up = getc(file);
            x += std::max(right, 0);
            y += std::max(up, 0);
        } else {  // code indices as they are, padded to whole 16-bit words
            const int bytes = runs.bits == 8 ? code : (code + 1) / 2;
            int byte = 0;
            for (int i = 0; i < code && byte != EOF; ++i) {
                byte = runs.bits == 8 || i % 2 == 0 ? getc(file) : byte;
                put(runs.bits == 8 ? byte : i % 2 == 0 ? byte >> 4 : byte & 15);
            }
            if (bytes % 2 == 1) {
                getc(file);
            }
        }
        passed = passed || (x > runs.width && x > before);
    }
    return passed;
}

// The grey of each palette entry (blue, green, red, unused), as the image library makes it.
cv::Mat bmpGreyPalette(FILE* file, const BmpRuns& runs) {
    cv::Mat grey(1, 256, CV_8UC1, cv::Scalar(0));
    std::vector<unsigned char> entries(4 * static_cast<size_t>(runs.colours));
    if (!readAt(file, runs.palette, entries.data(), entries.size())) {
        return cv::Mat();
    }
    for (int i = 0; i < runs.colours; ++i) {
        const unsigned char* bgr = entries.data() + 4 * i;
        grey.at<uchar>(i) = colourGrey(bgr[2], bgr[1], bgr[0]);
    }
    return grey;
}

// A BMP in runs decoded to grey, each run clipped at the end of its row; pixels no run sets
// take the first palette entry.
cv::Mat readBmpRunsGrey(FILE* file) {
    const BmpRuns runs = bmpRuns(file);
    const cv::Mat palette = runs.bits != 0 ? bmpGreyPalette(file, runs) : cv::Mat();
    if (palette.empty()) {
        return cv::Mat();
    }
    cv::Mat picture(runs.height, runs.width, CV_8UC1, cv::Scalar(0));
    walkBmpRuns(file, runs, &picture);
    cv::LUT(picture, palette, picture);
    cv::flip(picture, picture, 0);  // stored bottom row first
    return picture;
}

// BMP: decoded row by row into the grey picture; a negative height means top-down rows. Only
// 32-bit pixels with an alpha mask of the top byte carry an alpha channel.
PictureHeader readBmpHeader(FILE* file) {
    unsigned char head[70] = {};
    if (!readAt(file, 0, head, 26)) {
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
    const bool transparent =
        infoSize >= 56 && readAt(file, 0, head, sizeof head) && number(head + 28, 2, false) == 32 &&
        number(head + 30, 4, false) == 3 && number(head + 66, 4, false) == 0xFF000000u;
    const BmpRuns runs = bmpRuns(file);
    PictureHeader header =
        claimed(PictureFormat::Bmp, (old || infoSize >= 36) && width > 0 ? width * height : 0,
                transparent ? transparentBytesPerPixel(1.0) : 1.0, transparent);
    header.clippedRuns = runs.bits != 0 && walkBmpRuns(file, runs, nullptr);
    return header;
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
PictureHeader readFormatHeader(FILE* file, uint64_t fileSize) {
    unsigned char s[12] = {};
    const size_t n = fread(s, 1, sizeof s, file);
    const auto starts = [&](const char* text, size_t length) {
        return n >= length && std::memcmp(s, text, length) == 0;
    };
    if (starts("\xFF\xD8\xFF", 3)) {
        return readJpegHeader(file);
    }
    if (starts("\x89PNG\r\n\x1A\n", 8)) {
        return readPngHeader(file, fileSize);
    }
    if (starts("II*\0", 4) || starts("MM\0*", 4) || starts("II+\0", 4) || starts("MM\0+", 4)) {
        return readTiffHeader(file);
    }
    if (starts("RIFF", 4) && n == 12 && std::memcmp(s + 8, "WEBP", 4) == 0) {
        return readWebPHeader(file, fileSize);
    }
    if (isHeifStart(s, n)) {
        return readHeifHeader(file, fileSize);
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

PictureHeader readHeaderOf(FILE* file, uint64_t fileSize) {
    PictureHeader header = readFormatHeader(file, fileSize);
    header.decodingSeconds += header.pixels * decodingNanosecondsPerPixel(header) * 1e-9;
    header.fileBytes = static_cast<double>(fileSize);
    return header;
}

// Transparent is background: each pixel's grey is weighted by its opacity over white. channels
// is BGRA or RGBA order, which gives the same grey where the three colours are equal.
cv::Mat compositeOverWhite(cv::Mat picture, int toGrey = cv::COLOR_BGRA2GRAY) {
    cv::Mat grey;
    cv::Mat alpha;
    cv::cvtColor(picture, grey, toGrey);
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

// A grey picture whose transparency chunk names one grey as transparent: that grey is white.
// 16-bit samples are compared whole, then cut to their high byte as the grey decode does.
cv::Mat keyedOverWhite(cv::Mat picture, int transparentGrey) {
    cv::Mat transparent = picture == transparentGrey;
    if (picture.depth() == CV_16U) {
        picture.convertTo(picture, CV_8U, 1.0 / 256.0, -255.0 / 512.0);  // rounds to v >> 8
    }
    picture.setTo(255, transparent);
    return picture;
}

// A TIFF with an alpha channel, read whole by the TIFF library as 8-bit RGBA, upright.
cv::Mat readTiffOverWhite(FILE* file) {
    TIFF* tiff = openTiff(fileno(file), "r");
    uint32_t width = 0;
    uint32_t height = 0;
    cv::Mat rgba;
    if (tiff != nullptr && TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) == 1 &&
        TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height) == 1) {
        rgba.create(static_cast<int>(height), static_cast<int>(width), CV_8UC4);
        if (TIFFReadRGBAImageOriented(tiff, width, height, rgba.ptr<uint32_t>(),
                                      ORIENTATION_TOPLEFT, 0) != 1) {
            rgba.release();
        }
    }
    if (tiff != nullptr) {
        TIFFClose(tiff);
    }
    return rgba.empty() ? rgba : compositeOverWhite(std::move(rgba), cv::COLOR_RGBA2GRAY);
}

// picture turned upright by its EXIF orientation, as the image library turns it.
cv::Mat turned(cv::Mat picture, int orientation) {
    const Turn turn = turnFor(orientation);
    if (turn.transposed) {
        cv::Mat transposed;
        cv::transpose(picture, transposed);
        picture = transposed;
    }
    if (turn.flipRows || turn.flipColumns) {
        cv::flip(picture, picture, turn.flipRows && turn.flipColumns ? -1 : turn.flipRows ? 0 : 1);
    }
    return picture;
}

// The precision of a JPEG's frame and whether it is lossless, by walking its markers up to
// the frame header; 8 and false when there is none.
std::pair<int, bool> jpegFrame(FILE* file) {
    uint64_t position = 2;
    unsigned char marker[5];
    for (int step = 0; step < 1000 && readAt(file, position, marker, 5) && marker[0] == 0xFF;
         ++step) {
        const int kind = marker[1];
        const bool frame =
            kind >= 0xC0 && kind <= 0xCF && kind != 0xC4 && kind != 0xC8 && kind != 0xCC;
        if (frame) {
            return {marker[4], kind == 0xC3 || kind == 0xC7 || kind == 0xCB || kind == 0xCF};
        }
        position += 2 + number(marker + 2, 2, true);
    }
    return {8, false};
}

// The formats known by their first bytes but not read, and the kinds of the formats read that
// the decoders refuse as a whole (not for their size or damage).
std::string unreadFormatOf(FILE* file) {
    unsigned char s[32] = {};
    const size_t n = fread(s, 1, sizeof s, file);
    const auto starts = [&](const char* text, size_t length) {
        return n >= length && std::memcmp(s, text, length) == 0;
    };
    if (starts("\xFF\xD8\xFF", 3)) {
        const auto [precision, lossless] = jpegFrame(file);
        return lossless         ? "lossless JPEG"
               : precision != 8 ? std::to_string(precision) + "-bit JPEG"
                                : "";
    }
    if (starts("RIFF", 4) && n >= 21 && std::memcmp(s + 8, "WEBPVP8X", 8) == 0 &&
        (s[20] & 2) != 0) {
        return "animated WebP";
    }
    if (starts("II*\0", 4) || starts("MM\0*", 4) || starts("II+\0", 4) || starts("MM\0+", 4)) {
        const std::optional<TiffFields> fields = readTiffFields(file);
        return fields && fields->format == SAMPLEFORMAT_IEEEFP ? "floating-point TIFF" : "";
    }
    const std::pair<std::string, const char*> signatures[] = {
        {"GIF87a", "GIF"},
        {"GIF89a", "GIF"},
        {"\xFF\x0A", "JPEG XL"},
        {std::string("\0\0\0\x0CJXL \r\n\x87\n", 12), "JPEG XL"},
        {std::string("\0\0\0\x0CjP  \r\n\x87\n", 12), "JPEG 2000"},
        {"\xFF\x4F\xFF\x51", "JPEG 2000"},
        {"\x76\x2F\x31\x01", "OpenEXR"},
        {"#?RADIANCE", "Radiance HDR"},
        {"#?RGBE", "Radiance HDR"},
        {"PF\n", "PFM"},
        {"Pf\n", "PFM"},
        {"8BPS", "Photoshop"},
        {"qoif", "QOI"},
    };
    for (const auto& [signature, name] : signatures) {
        if (starts(signature.data(), signature.size())) {
            return name;
        }
    }
    return "";
}

// The regular file at path, opened without waiting, so a FIFO or a device cannot block.
FILE* openRegularFile(const std::string& path, uint64_t& size) {
    const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (descriptor < 0 || fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        if (descriptor >= 0) {
            close(descriptor);
        }
        return nullptr;
    }
    size = static_cast<uint64_t>(status.st_size);
    FILE* file = fdopen(descriptor, "rb");
    if (file == nullptr) {
        close(descriptor);
    }
    return file;
}

// The picture at path decoded to 8-bit grey as the header said it would be.
cv::Mat decodeGrey(const std::string& path, FILE* file, const PictureHeader& header) {
    if (header.format == PictureFormat::Jpeg) {
        return readJpegGrey(file);
    }
    if (header.transparent && header.format == PictureFormat::Tiff) {
        return readTiffOverWhite(file);
    }
    if (header.format == PictureFormat::Heif) {
        const cv::Mat grey = readHeifGrey(file, static_cast<uint64_t>(header.fileBytes));
        return grey.empty() ? grey : turned(grey, header.orientation);
    }
    if (header.clippedRuns) {
        return readBmpRunsGrey(file);
    }
    // The image library would turn some pictures itself, into a second full-size copy.
    const int ignoreTurn = cv::IMREAD_IGNORE_ORIENTATION;
    cv::Mat grey;
    if (header.transparent) {
        cv::Mat whole = cv::imread(path, cv::IMREAD_UNCHANGED | ignoreTurn);
        const bool deep = whole.depth() == CV_8U || whole.depth() == CV_16U;
        if (whole.channels() == 4 && deep) {
            // A BMP's fourth byte may be mere padding: an alpha of zero everywhere is none.
            cv::Mat alpha;
            cv::extractChannel(whole, alpha, 3);
            grey = header.format == PictureFormat::Bmp && cv::countNonZero(alpha) == 0
                       ? cv::Mat()
                       : compositeOverWhite(std::move(whole));
        } else if (whole.channels() == 1 && deep && header.transparentGrey >= 0) {
            grey = keyedOverWhite(std::move(whole), header.transparentGrey);
        }
    }
    if (grey.empty()) {
        grey = cv::imread(path, cv::IMREAD_GRAYSCALE | ignoreTurn);
    }
    return grey.type() == CV_8UC1 ? turned(grey, header.orientation) : cv::Mat();
}

}  // namespace

PictureHeader readPictureHeader(const std::string& path) {
    uint64_t size = 0;
    FILE* file = openRegularFile(path, size);
    if (file == nullptr) {
        return {};
    }
    const PictureHeader header = readHeaderOf(file, size);
    fclose(file);
    return header;
}

cv::Mat readGreyPicture(const std::string& path) {
    uint64_t size = 0;
    FILE* file = openRegularFile(path, size);
    if (file == nullptr) {
        return cv::Mat();
    }
    cv::Mat grey;
    try {
        const PictureHeader header = readHeaderOf(file, size);
        if (isAffordable(header)) {
            grey = decodeGrey(path, file, header);
        }
    } catch (const std::exception&) {
        // The decoder refused the file (cv::Exception) or memory ran out: not a picture.
        grey.release();
    }
    fclose(file);
    return grey;
}

std::string unreadFormatName(const std::string& path) {
    uint64_t size = 0;
    FILE* file = openRegularFile(path, size);
    if (file == nullptr) {
        return "";
    }
    const std::string name = unreadFormatOf(file);
    fclose(file);
    return name;
}

bool isAffordable(const PictureHeader& header) {
    return header.format != PictureFormat::Unknown && header.decodingBytes <= maxDecodingBytes &&
           header.decodingSeconds <= maxDecodingSeconds + header.fileBytes * decodingSecondsPerByte;
}
