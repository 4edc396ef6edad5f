// HEIF pictures (HEIC, the iPhone camera's, and AVIF) through libheif, within the same bounds
// as the other formats: what decoding takes is told from the file's boxes before any decoding.
#pragma once

#include <cstdint>
#include <cstdio>
#include <opencv2/core.hpp>

#include "picture.hpp"

// The EXIF orientation (1 to 8) in a TIFF structure held in memory; 1 when there is none.
int exifOrientation(const unsigned char* data, size_t size);

// True when the first bytes of a file (at least 12) are a HEIF file type box of a brand that
// holds still pictures in HEVC or AV1.
bool isHeifStart(const unsigned char* start, size_t size);

// What decoding the primary picture of the HEIF file would take; format Unknown when libheif
// refuses the file or the picture has no size.
PictureHeader readHeifHeader(FILE* file, uint64_t fileSize);

// The primary picture of the HEIF file as 8-bit grey, turned and cropped as the file says,
// alpha composited over white; empty when libheif refuses it.
cv::Mat readHeifGrey(FILE* file, uint64_t fileSize);
