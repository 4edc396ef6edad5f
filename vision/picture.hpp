// Reading a picture file as the 8-bit grey image the analysis works on, within fixed bounds.
#pragma once

#include <opencv2/core.hpp>
#include <string>

// The most bytes the image library may work through to decode one picture: 256 MiB. A JPEG
// takes one byte a pixel (its grey comes straight from the brightness channel), so a JPEG of up
// to 16384 x 16384 pixels is read, any 200-megapixel phone photo included; formats that take
// more per pixel hold proportionally fewer. No small file can make the decoder take gigabytes.
constexpr double maxDecodingBytes = 268435456.0;

// The formats read: the ones whose cost can be told from their header before decoding. Heif
// covers HEIC and AVIF.
enum class PictureFormat { Unknown, Jpeg, Png, Tiff, WebP, Bmp, Pnm, Heif };

struct PictureHeader {
    PictureFormat format = PictureFormat::Unknown;  // Unknown: nothing this program reads
    double decodingBytes = 0.0;  // what decoding would take, estimated from the header
    bool transparent = false;    // the picture has an alpha channel or a transparent grey
    int transparentGrey = -1;    // that grey, in decoded 8- or 16-bit units; -1 for none
    int orientation = 1;         // EXIF orientation (JPEG is turned while decoding, PNG after)
    double pixels = 0.0;
    double decodingSeconds = 0.0;  // processor time decoding would take, estimated
    double fileBytes = 0.0;
    bool clippedRuns = false;  // a BMP whose runs pass the end of a row: decoded here, clipped
};

// Decoding may take a second, and more for a larger file: a second for each 10 MB. No file of a
// few megabytes that claims a huge picture keeps the dialogue waiting, while a 200-megapixel
// phone photo (tens of megabytes) is still read.
constexpr double maxDecodingSeconds = 1.0;
constexpr double decodingSecondsPerByte = 1e-7;

// Each scan of a JPEG walks all its blocks again: a file that repeats cheap scans is refused
// beyond these (a progressive photo has about ten).
constexpr long maxJpegScans = 1000;
constexpr double maxJpegScanBlocks = 67108864.0;  // scans x blocks of 8 x 8: about a second

// What the header of the file at path claims. Unknown for anything but a regular file in one of
// the formats above with a sound header; floating-point pictures are Unknown as well, since
// they do not decode to 8-bit grey.
PictureHeader readPictureHeader(const std::string& path);

// True when header names a picture this program reads within maxDecodingBytes and the time
// allowed for a file of its size.
bool isAffordable(const PictureHeader& header);

// The picture at path as 8-bit grey, or an empty image when it is not read: Unknown, not
// affordable, or refused by the decoder. Pictures with an alpha channel are
// composited over white first (transparent is background); all others are decoded to grey by
// the image library itself, exactly as cv::IMREAD_GRAYSCALE does.
cv::Mat readGreyPicture(const std::string& path);

// The name of a picture format that this program knows but does not read, by the file's first
// bytes: "GIF", "JPEG XL", "JPEG 2000", "12-bit JPEG", "animated WebP", "floating-point TIFF",
// ... Empty for the formats read and for files that are no picture known here.
std::string unreadFormatName(const std::string& path);
