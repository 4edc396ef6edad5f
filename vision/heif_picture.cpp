#include "heif_picture.hpp"

#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <vector>

namespace {

// Processor time per pixel of every coded image the file declares (tiles, alpha and
// thumbnails included), colour conversion and grey included, measured on 12-megapixel photos
// on a two-core AMD EPYC shared with other work: HEVC 80 ns (AV1 45). Grids and overlays are
// made of other images: filling their canvas takes 4 ns a pixel.
double heifNanosecondsPerPixel(const char* itemType) {
    if (std::memcmp(itemType, "grid", 4) == 0 || std::memcmp(itemType, "iovl", 4) == 0 ||
        std::memcmp(itemType, "iden", 4) == 0) {
        return 4.0;
    }
    return std::memcmp(itemType, "av01", 4) == 0 ? 45.0 : 80.0;
}

// libheif refuses any image of a side this long or longer, before decoding.
constexpr int maxHeifSide = 16384;

bool isBrand(const unsigned char* brand) {
    const char* brands[] = {"heic", "heix", "heim", "heis", "mif1", "avif"};
    return std::any_of(std::begin(brands), std::end(brands),
                       [&](const char* b) { return std::memcmp(brand, b, 4) == 0; });
}

uint64_t bigEndian(const unsigned char* bytes, int count) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

// One box of the ISO media file structure: its type and where its content lies.
struct Box {
    char type[4] = {};
    size_t content = 0;
    size_t end = 0;
};

// The boxes that follow each other from begin to end; fewer when one claims more than is left.
std::vector<Box> boxesIn(const std::vector<unsigned char>& data, size_t begin, size_t end) {
    std::vector<Box> boxes;
    for (size_t at = begin; at + 8 <= end && boxes.size() < 100000;) {
        Box box;
        std::memcpy(box.type, data.data() + at + 4, 4);
        uint64_t size = bigEndian(data.data() + at, 4);
        box.content = at + 8;
        if (size == 1 && at + 16 <= end) {
            size = bigEndian(data.data() + at + 8, 8);
            box.content = at + 16;
        } else if (size == 0) {
            size = end - at;
        }
        if (size < box.content - at || size > end - at) {
            break;
        }
        box.end = at + static_cast<size_t>(size);
        boxes.push_back(box);
        at = box.end;
    }
    return boxes;
}

std::optional<Box> child(const std::vector<unsigned char>& data, const Box& parent, size_t skip,
                         const char* type) {
    for (const Box& box : boxesIn(data, parent.content + skip, parent.end)) {
        if (std::memcmp(box.type, type, 4) == 0) {
            return box;
        }
    }
    return std::nullopt;
}

// Reads bits from bytes, most significant first; past the end it reads zeros and says so.
class Bits {
  public:
    Bits(const unsigned char* bytes, size_t size) : bytes_(bytes), size_(size) {}
    uint64_t read(int count) {
        uint64_t value = 0;
        for (int i = 0; i < count; ++i) {
            value = value << 1 | bit();
        }
        return value;
    }
    // An unsigned exponential-Golomb number.
    uint64_t golomb() {
        int zeros = 0;
        while (bit() == 0 && zeros < 32) {
            ++zeros;
        }
        return (uint64_t{1} << zeros) - 1 + read(zeros);
    }
    bool ended() const { return at_ > 8 * size_; }

  private:
    unsigned bit() {
        const size_t at = at_++;
        return at < 8 * size_ ? bytes_[at / 8] >> (7 - at % 8) & 1u : 0u;
    }
    const unsigned char* bytes_;
    size_t size_;
    size_t at_ = 0;
};

// The picture size an HEVC sequence parameter set (a NAL unit, header included) codes for.
double hevcCodedPixels(const unsigned char* nal, size_t size) {
    std::vector<unsigned char> payload;  // without the bytes that prevent start codes
    for (size_t i = 2, zeros = 0; i < std::min<size_t>(size, 1024); ++i) {  // the size is early
        if (zeros >= 2 && nal[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = nal[i] == 0 ? zeros + 1 : 0;
        payload.push_back(nal[i]);
    }
    Bits bits(payload.data(), payload.size());
    bits.read(4);  // video parameter set
    const int subLayers = static_cast<int>(bits.read(3));
    bits.read(1 + 96);  // nesting; the general profile, tier and level
    std::vector<std::pair<bool, bool>> present(subLayers);
    for (auto& [profile, level] : present) {
        profile = bits.read(1) != 0;
        level = bits.read(1) != 0;
    }
    bits.read(subLayers > 0 ? 2 * (8 - subLayers) : 0);
    for (const auto& [profile, level] : present) {
        bits.read((profile ? 88 : 0) + (level ? 8 : 0));
    }
    bits.golomb();  // its own number
    if (bits.golomb() == 3) {
        bits.read(1);  // colour planes coded apart
    }
    const double width = static_cast<double>(bits.golomb());
    const double height = static_cast<double>(bits.golomb());
    return bits.ended() ? 0.0 : width * height;
}

// The largest picture the sequence parameter sets of an HEVC configuration ('hvcC') code for.
double hevcConfigPixels(const unsigned char* p, size_t size) {
    double pixels = 0.0;
    size_t at = 23;
    for (int array = 0, arrays = size > 22 ? p[22] : 0; array < arrays && at + 3 <= size; ++array) {
        const bool parameterSets = (p[at] & 0x3F) == 33;
        const uint64_t units = bigEndian(p + at + 1, 2);
        at += 3;
        for (uint64_t u = 0; u < units && at + 2 <= size; ++u) {
            const size_t length = static_cast<size_t>(bigEndian(p + at, 2));
            if (length > size - at - 2) {
                return pixels;
            }
            if (parameterSets) {
                pixels = std::max(pixels, hevcCodedPixels(p + at + 2, length));
            }
            at += 2 + length;
        }
    }
    return pixels;
}

// The largest frame an AV1 sequence header codes for: the bits of a sequence header OBU
// from its start.
double av1SequencePixels(Bits& bits) {
    bits.read(3);  // profile
    bits.read(1);  // still picture
    if (bits.read(1) != 0) {
        bits.read(5);  // reduced header: one level
    } else {
        bool decoderModel = false;
        int delayBits = 0;
        if (bits.read(1) != 0) {  // timing
            bits.read(64);
            if (bits.read(1) != 0) {  // equal picture interval, a uvlc
                bits.golomb();
            }
            decoderModel = bits.read(1) != 0;
            if (decoderModel) {
                delayBits = static_cast<int>(bits.read(5)) + 1;
                bits.read(32 + 5 + 5);
            }
        }
        const bool initialDelay = bits.read(1) != 0;
        for (int point = 0, points = static_cast<int>(bits.read(5)) + 1; point < points; ++point) {
            bits.read(12);
            if (bits.read(5) > 7) {
                bits.read(1);  // tier
            }
            if (decoderModel && bits.read(1) != 0) {
                bits.read(2 * delayBits + 1);
            }
            if (initialDelay && bits.read(1) != 0) {
                bits.read(4);
            }
        }
    }
    const int widthBits = static_cast<int>(bits.read(4)) + 1;
    const int heightBits = static_cast<int>(bits.read(4)) + 1;
    const double width = static_cast<double>(bits.read(widthBits)) + 1.0;
    const double height = static_cast<double>(bits.read(heightBits)) + 1.0;
    return bits.ended() ? 0.0 : width * height;
}

// The largest frame the sequence headers among AV1 units (OBUs) code for.
double av1Pixels(const unsigned char* p, size_t size) {
    double pixels = 0.0;
    for (size_t at = 0; at < size;) {
        const int type = p[at] >> 3 & 15;
        const bool extension = (p[at] & 4) != 0;
        const bool sized = (p[at] & 2) != 0;
        at += extension ? 2 : 1;
        uint64_t length = size - std::min(at, size);
        if (sized) {  // LEB128
            length = 0;
            for (int i = 0; i < 8 && at < size; ++i) {
                length |= static_cast<uint64_t>(p[at] & 0x7F) << (7 * i);
                if ((p[at++] & 0x80) == 0) {
                    break;
                }
            }
        }
        if (at > size || length > size - at) {
            break;
        }
        if (type == 1) {
            Bits bits(p + at, static_cast<size_t>(length));
            pixels = std::max(pixels, av1SequencePixels(bits));
        }
        at += static_cast<size_t>(length);
    }
    return pixels;
}

// The largest picture the sequence parameter sets among HEVC units code for, each unit after
// four bytes of its length (as libheif passes them to the decoder).
double hevcPixels(const unsigned char* p, size_t size) {
    double pixels = 0.0;
    for (size_t at = 0; at + 4 <= size;) {
        const uint64_t length = bigEndian(p + at, 4);
        at += 4;
        if (length > size - at) {
            break;
        }
        if (length >= 2 && (p[at] >> 1 & 0x3F) == 33) {
            pixels = std::max(pixels, hevcCodedPixels(p + at, static_cast<size_t>(length)));
        }
        at += static_cast<size_t>(length);
    }
    return pixels;
}

// Reads big-endian numbers of a box's content in turn; past its end, zeros.
class BoxReader {
  public:
    BoxReader(const std::vector<unsigned char>& data, const Box& box)
        : data_(data), at_(box.content), end_(box.end) {}
    uint64_t read(int bytes) {
        if (bytes < 0 || bytes > 8 || at_ + static_cast<size_t>(bytes) > end_) {
            at_ = end_ + 1;
            return 0;
        }
        at_ += static_cast<size_t>(bytes);
        return bigEndian(data_.data() + at_ - bytes, bytes);
    }
    bool ended() const { return at_ > end_; }

  private:
    const std::vector<unsigned char>& data_;
    size_t at_;
    size_t end_;
};

// A piece of an item's data: where it lies in the file.
struct Extent {
    size_t start = 0;
    size_t length = 0;
};

// libheif reads no more extents an item, nor items a file.
constexpr uint64_t maxHeifExtents = 32;
constexpr uint64_t maxHeifItems = 20000;

// The pieces of each item's data, from the item location box ('iloc'): offsets in the file, or
// (construction method 1) in the item data box ('idat').
std::map<uint32_t, std::vector<Extent>> itemExtents(const std::vector<unsigned char>& data,
                                                    const Box& meta) {
    std::map<uint32_t, std::vector<Extent>> extents;
    const std::optional<Box> location = child(data, meta, 4, "iloc");
    const std::optional<Box> idat = child(data, meta, 4, "idat");
    if (!location) {
        return extents;
    }
    BoxReader box(data, *location);
    const int version = static_cast<int>(box.read(1));
    box.read(3);
    const uint64_t sizes = box.read(2);
    const int offsetBytes = static_cast<int>(sizes >> 12);
    const int lengthBytes = static_cast<int>(sizes >> 8 & 15);
    const int baseBytes = static_cast<int>(sizes >> 4 & 15);
    const int indexBytes = version >= 1 ? static_cast<int>(sizes & 15) : 0;
    const uint64_t count = box.read(version < 2 ? 2 : 4);
    for (uint64_t i = 0; i < std::min(count, maxHeifItems) && !box.ended(); ++i) {
        const auto id = static_cast<uint32_t>(box.read(version < 2 ? 2 : 4));
        const uint64_t method = version >= 1 ? box.read(2) & 15 : 0;
        box.read(2);  // data reference
        const uint64_t base = box.read(baseBytes);
        const uint64_t pieces = box.read(2);
        for (uint64_t e = 0; e < pieces && !box.ended(); ++e) {
            box.read(indexBytes);
            const uint64_t offset = box.read(offsetBytes);
            const uint64_t length = box.read(lengthBytes);
            const size_t origin = method == 1 && idat ? idat->content : 0;
            const size_t limit = method == 1 && idat ? idat->end : data.size();
            if (method > 1 || e >= maxHeifExtents || base > limit - origin ||
                offset > limit - origin - base) {
                continue;
            }
            const size_t start = origin + static_cast<size_t>(base + offset);
            extents[id].push_back({start, length == 0 || length > limit - start
                                              ? limit - start
                                              : static_cast<size_t>(length)});
        }
    }
    return extents;
}

// Each item's declared size and type, from the file's 'meta' box.
struct Item {
    double pixels = 0.0;  // of its 'ispe' size, or what its codec configuration codes for
    char type[4] = {'?', '?', '?', '?'};
    bool turned = false;  // it has a rotation ('irot') or a mirror ('imir')
    bool empty = false;   // a coded image without data
};

// A property of the file's property list ('ipco'): a size, a codec configuration, or a turn.
struct Property {
    double pixels = 0.0;
    bool turn = false;
};

// The pixels a property declares: the 'ispe' size, or the largest picture of a codec
// configuration. libheif compares neither with the other: a tile may declare a small size and
// code a vast one.
double propertyPixels(const std::vector<unsigned char>& data, const Box& box) {
    const unsigned char* p = data.data() + box.content;
    const size_t size = box.end - box.content;
    if (std::memcmp(box.type, "ispe", 4) == 0 && size >= 12) {
        return static_cast<double>(bigEndian(p + 4, 4)) * static_cast<double>(bigEndian(p + 8, 4));
    }
    if (std::memcmp(box.type, "hvcC", 4) == 0) {
        return hevcConfigPixels(p, size);
    }
    return std::memcmp(box.type, "av1C", 4) == 0 && size > 4 ? av1Pixels(p + 4, size - 4) : 0.0;
}

// The item types of an item information box ('iinf'), into items.
void readItemTypes(const std::vector<unsigned char>& data, const Box& information,
                   std::map<uint32_t, Item>& items) {
    const size_t counted = information.content + 4 + (data[information.content] == 0 ? 2 : 4);
    for (const Box& entry : boxesIn(data, std::min(counted, information.end), information.end)) {
        const unsigned char* p = data.data() + entry.content;
        const int version = entry.end - entry.content >= 4 ? p[0] : 0;
        const size_t idBytes = version == 2 ? 2 : 4;
        if (std::memcmp(entry.type, "infe", 4) == 0 && version >= 2 &&
            entry.end - entry.content >= 4 + idBytes + 2 + 4) {
            const auto id = static_cast<uint32_t>(bigEndian(p + 4, static_cast<int>(idBytes)));
            std::memcpy(items[id].type, p + 4 + idBytes + 2, 4);
        }
    }
}

// The canvas of a grid ('grid') or an overlay ('iovl') image, from its data: libheif makes the
// picture as large as it says, whatever the image's declared size.
double canvasPixels(const std::vector<unsigned char>& data, bool overlay) {
    const size_t at = overlay ? 10 : 4;  // after version, flags, and the grid's rows and columns
    const int bytes = data.size() >= 2 && (data[1] & 1) != 0 ? 4 : 2;  // or the overlay's fill
    if (data.size() < at + 2 * bytes) {
        return 0.0;
    }
    return static_cast<double>(bigEndian(data.data() + at, bytes)) *
           static_cast<double>(bigEndian(data.data() + at + bytes, bytes));
}

bool isType(const Item& item, const char* type) {
    return std::memcmp(item.type, type, 4) == 0;
}

// The largest picture the parameter sets in the data of each coded item code for, and the
// canvas of each grid or overlay, into items: libheif passes the sets to the decoder after those
// of the configuration, and the last one counts. A coded item without data is marked, as
// libheif would hand the decoder nothing.
void readCodedSizes(const std::vector<unsigned char>& data, const Box& meta,
                    std::map<uint32_t, Item>& items) {
    const std::map<uint32_t, std::vector<Extent>> extents = itemExtents(data, meta);
    double scanned = 0.0;
    for (auto& [id, item] : items) {
        const bool hevc = isType(item, "hvc1");
        const bool coded = hevc || isType(item, "av01");
        const bool overlay = isType(item, "iovl");
        if (!coded && !overlay && !isType(item, "grid")) {
            continue;
        }
        std::vector<unsigned char> joined;
        for (const Extent& piece : extents.count(id) ? extents.at(id) : std::vector<Extent>()) {
            scanned += static_cast<double>(piece.length);
            if (scanned > 2.0 * static_cast<double>(data.size())) {
                item.pixels = maxDecodingBytes;  // extents that overlap again and again
                return;
            }
            joined.insert(joined.end(), data.begin() + static_cast<std::ptrdiff_t>(piece.start),
                          data.begin() + static_cast<std::ptrdiff_t>(piece.start + piece.length));
        }
        item.empty = coded && joined.empty();
        item.pixels = std::max(item.pixels, !coded ? canvasPixels(joined, overlay)
                                            : hevc ? hevcPixels(joined.data(), joined.size())
                                                   : av1Pixels(joined.data(), joined.size()));
    }
}

// Every item with the pixels of the 'ispe' size it is declared with, read from the property
// associations ('ipma') of the file's 'meta' box as libheif reads them, and its type.
std::map<uint32_t, Item> declaredItems(const std::vector<unsigned char>& data) {
    std::map<uint32_t, Item> items;
    Box file;
    file.end = data.size();
    const std::optional<Box> meta = child(data, file, 0, "meta");
    const std::optional<Box> information = meta ? child(data, *meta, 4, "iinf") : std::nullopt;
    if (information && information->end - information->content >= 8) {
        readItemTypes(data, *information, items);
    }
    const std::optional<Box> iprp = meta ? child(data, *meta, 4, "iprp") : std::nullopt;
    const std::optional<Box> list = iprp ? child(data, *iprp, 0, "ipco") : std::nullopt;
    const std::optional<Box> map = iprp ? child(data, *iprp, 0, "ipma") : std::nullopt;
    if (!list || !map || map->end - map->content < 8) {
        return items;
    }
    std::vector<Property> properties;  // by index, from 1
    for (const Box& box : boxesIn(data, list->content, list->end)) {
        properties.push_back(
            {propertyPixels(data, box),
             std::memcmp(box.type, "irot", 4) == 0 || std::memcmp(box.type, "imir", 4) == 0});
    }
    const unsigned char* p = data.data() + map->content;
    const int version = p[0];
    const bool wideIndex = (p[3] & 1) != 0;
    const uint64_t entries = bigEndian(p + 4, 4);
    size_t at = map->content + 8;
    const int idBytes = version < 1 ? 2 : 4;
    const int indexBytes = wideIndex ? 2 : 1;
    for (uint64_t e = 0; e < entries && at + idBytes + 1 <= map->end; ++e) {
        const auto item = static_cast<uint32_t>(bigEndian(data.data() + at, idBytes));
        const int count = data[at + idBytes];
        at += idBytes + 1;
        for (int a = 0; a < count && at + indexBytes <= map->end; ++a, at += indexBytes) {
            const uint64_t index =
                bigEndian(data.data() + at, indexBytes) & (wideIndex ? 0x7FFF : 0x7F);
            if (index >= 1 && index <= properties.size()) {
                items[item].pixels = std::max(items[item].pixels, properties[index - 1].pixels);
                items[item].turned = items[item].turned || properties[index - 1].turn;
            }
        }
    }
    readCodedSizes(data, *meta, items);
    return items;
}

std::vector<unsigned char> wholeFile(FILE* file, uint64_t fileSize) {
    std::vector<unsigned char> data;
    if (fileSize <= maxDecodingBytes && fseeko(file, 0, SEEK_SET) == 0) {
        data.resize(static_cast<size_t>(fileSize));
        if (fread(data.data(), 1, data.size(), file) != data.size()) {
            data.clear();
        }
    }
    return data;
}

struct HeifDeleter {
    void operator()(heif_context* context) const { heif_context_free(context); }
    void operator()(const heif_image_handle* handle) const { heif_image_handle_release(handle); }
    void operator()(const heif_image* image) const { heif_image_release(image); }
    void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};
template <typename T>
using Heif = std::unique_ptr<T, HeifDeleter>;

// The file in data read by libheif, within its limits, decoding in this thread only; and its
// primary image. Null when libheif refuses it.
struct HeifFile {
    Heif<heif_context> context;
    Heif<const heif_image_handle> primary;
    heif_item_id primaryId = 0;
};

HeifFile openHeif(const std::vector<unsigned char>& data) {
    HeifFile heif;
    heif.context.reset(heif_context_alloc());
    if (!heif.context || data.empty()) {
        return {};
    }
    heif_context_set_maximum_image_size_limit(heif.context.get(), maxHeifSide);
    heif_context_set_max_decoding_threads(heif.context.get(), 0);
    heif_image_handle* primary = nullptr;
    if (heif_context_read_from_memory_without_copy(heif.context.get(), data.data(), data.size(),
                                                   nullptr)
                .code != heif_error_Ok ||
        heif_context_get_primary_image_ID(heif.context.get(), &heif.primaryId).code !=
            heif_error_Ok ||
        heif_context_get_primary_image_handle(heif.context.get(), &primary).code != heif_error_Ok) {
        return {};
    }
    heif.primary.reset(primary);
    return heif;
}

// The EXIF orientation of the image: its Exif block starts with the offset of the TIFF
// structure after those four bytes.
int heifExifOrientation(const heif_image_handle* image, uint64_t fileSize) {
    heif_item_id exif = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(image, "Exif", &exif, 1) != 1) {
        return 1;
    }
    std::vector<unsigned char> block(heif_image_handle_get_metadata_size(image, exif));
    if (block.size() < 4 || block.size() > fileSize ||
        heif_image_handle_get_metadata(image, exif, block.data()).code != heif_error_Ok) {
        return 1;
    }
    const uint64_t offset = bigEndian(block.data(), 4);
    return offset < block.size() - 4
               ? exifOrientation(block.data() + 4 + offset, block.size() - 4 - offset)
               : 1;
}

// Transparent is background: the grey of each pixel weighted by its opacity over white (or, when
// the colours are already multiplied by it, plus white where it is transparent).
cv::Mat overWhite(const cv::Mat& rgba, bool premultiplied) {
    cv::Mat grey;
    cv::Mat alpha;
    cv::cvtColor(rgba, grey, cv::COLOR_RGBA2GRAY);
    cv::extractChannel(rgba, alpha, 3);
    if (!premultiplied) {
        cv::multiply(grey, alpha, grey, 1.0 / 255.0);
    }
    cv::subtract(cv::Scalar(255), alpha, alpha);
    cv::add(grey, alpha, grey);
    return grey;
}

}  // namespace

bool isHeifStart(const unsigned char* start, size_t size) {
    return size >= 12 && std::memcmp(start + 4, "ftyp", 4) == 0 && isBrand(start + 8);
}

// Decoding keeps the image's planes twice (the codec's and libheif's, or a turned copy; 3
// samples a pixel at most, 2 bytes each beyond 8 bits), the converted colours (3 bytes a pixel,
// 4 with alpha) and the grey, twice for an EXIF turn; with alpha, its plane and the compositing
// besides. Meanwhile any other image (a tile, the alpha plane) is decoded into planes of its
// own, and the file is held. Every image counts at the larger of its declared and coded sizes.
PictureHeader readHeifHeader(FILE* file, uint64_t fileSize) {
    const std::vector<unsigned char> data = wholeFile(file, fileSize);
    const HeifFile heif = openHeif(data);
    if (!heif.primary) {
        return {};
    }
    const heif_image_handle* primary = heif.primary.get();
    double nanoseconds = 0.0;
    double largestOther = 0.0;
    Item primaryItem;
    for (const auto& [id, item] : declaredItems(data)) {
        nanoseconds += item.pixels * heifNanosecondsPerPixel(item.type);
        largestOther = id == heif.primaryId ? largestOther : std::max(largestOther, item.pixels);
        primaryItem = id == heif.primaryId ? item : primaryItem;
        if (item.empty) {
            return {};  // a coded image without data: nothing to decode
        }
    }
    const double declared = static_cast<double>(heif_image_handle_get_ispe_width(primary)) *
                            heif_image_handle_get_ispe_height(primary);
    const bool alpha = heif_image_handle_has_alpha_channel(primary) != 0;
    const double sampleBytes = heif_image_handle_get_luma_bits_per_pixel(primary) > 8 ? 2.0 : 1.0;
    const double planes = 2.0 * 3.0 * sampleBytes;
    PictureHeader header;
    header.format = PictureFormat::Heif;
    header.pixels = declared >= 1.0 ? std::max(declared, primaryItem.pixels) : 0.0;
    header.transparent = alpha;
    // libheif turns the picture by its own boxes. An EXIF orientation repeats them where they
    // are (phones write both); where they are not (heif-enc copies a JPEG's EXIF as it is), it
    // is the picture's only turn, made on the grey afterwards into a second copy.
    header.orientation = primaryItem.turned ? 1 : heifExifOrientation(primary, fileSize);
    header.decodingBytes = header.pixels * (planes + (alpha ? 4.0 + 1.0 + 2.0 : 3.0) + 2.0) +
                           largestOther * planes + static_cast<double>(fileSize);
    // At least the primary image at the faster rate, whatever its boxes say.
    header.decodingSeconds =
        std::max(nanoseconds, header.pixels * heifNanosecondsPerPixel("av01")) * 1e-9;
    return header.pixels >= 1.0 ? header : PictureHeader{};
}

cv::Mat readHeifGrey(FILE* file, uint64_t fileSize) {
    const std::vector<unsigned char> data = wholeFile(file, fileSize);
    const HeifFile heif = openHeif(data);
    Heif<heif_decoding_options> options(heif_decoding_options_alloc());
    if (!heif.primary || !options) {
        return cv::Mat();
    }
    // libheif turns, mirrors and crops the picture as its 'irot', 'imir' and 'clap' boxes say.
    options->ignore_transformations = 0;
    options->convert_hdr_to_8bit = 1;
    const bool alpha = heif_image_handle_has_alpha_channel(heif.primary.get()) != 0;
    heif_image* decoded = nullptr;
    if (heif_decode_image(heif.primary.get(), &decoded, heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                          options.get())
            .code != heif_error_Ok) {
        return cv::Mat();
    }
    const Heif<const heif_image> image(decoded);
    int stride = 0;
    const uint8_t* pixels =
        heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (pixels == nullptr || width <= 0 || height <= 0 ||
        heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved) != 8) {
        return cv::Mat();
    }
    const cv::Mat colours(height, width, alpha ? CV_8UC4 : CV_8UC3, const_cast<uint8_t*>(pixels),
                          static_cast<size_t>(stride));
    if (alpha) {
        return overWhite(colours, heif_image_is_premultiplied_alpha(decoded) != 0);
    }
    cv::Mat grey;
    cv::cvtColor(colours, grey, cv::COLOR_RGB2GRAY);
    return grey;
}
