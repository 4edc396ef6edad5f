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
// made of other images and take no decoding of their own.
double heifNanosecondsPerPixel(const char* itemType) {
    if (std::memcmp(itemType, "grid", 4) == 0 || std::memcmp(itemType, "iovl", 4) == 0 ||
        std::memcmp(itemType, "iden", 4) == 0) {
        return 0.0;
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

// Each item's declared size and type, from the file's 'meta' box.
struct Item {
    double pixels = 0.0;  // of its 'ispe' size
    char type[4] = {'?', '?', '?', '?'};
    bool turned = false;  // it has a rotation ('irot') or a mirror ('imir')
};

// A property of the file's property list ('ipco'): a size, or a turn.
struct Property {
    double pixels = 0.0;
    bool turn = false;
};

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
        const bool ispe = std::memcmp(box.type, "ispe", 4) == 0 && box.end - box.content >= 12;
        const unsigned char* p = data.data() + box.content;
        properties.push_back(
            {ispe ? static_cast<double>(bigEndian(p + 4, 4)) *
                        static_cast<double>(bigEndian(p + 8, 4))
                  : 0.0,
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
                items[item].pixels += properties[index - 1].pixels;
                items[item].turned = items[item].turned || properties[index - 1].turn;
            }
        }
    }
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
// besides. Meanwhile any
// other image (a tile, the alpha plane) is decoded into planes of its own, and the file is held.
PictureHeader readHeifHeader(FILE* file, uint64_t fileSize) {
    const std::vector<unsigned char> data = wholeFile(file, fileSize);
    const HeifFile heif = openHeif(data);
    if (!heif.primary) {
        return {};
    }
    const heif_image_handle* primary = heif.primary.get();
    double nanoseconds = 0.0;
    double largestOther = 0.0;
    bool turned = false;
    for (const auto& [id, item] : declaredItems(data)) {
        nanoseconds += item.pixels * heifNanosecondsPerPixel(item.type);
        largestOther = id == heif.primaryId ? largestOther : std::max(largestOther, item.pixels);
        turned = turned || (id == heif.primaryId && item.turned);
    }
    const double width = heif_image_handle_get_ispe_width(primary);
    const double height = heif_image_handle_get_ispe_height(primary);
    const bool alpha = heif_image_handle_has_alpha_channel(primary) != 0;
    const double sampleBytes = heif_image_handle_get_luma_bits_per_pixel(primary) > 8 ? 2.0 : 1.0;
    const double planes = 2.0 * 3.0 * sampleBytes;
    PictureHeader header;
    header.format = PictureFormat::Heif;
    header.pixels = width * height;
    header.transparent = alpha;
    // libheif turns the picture by its own boxes. An EXIF orientation repeats them where they
    // are (phones write both); where they are not (heif-enc copies a JPEG's EXIF as it is), it
    // is the picture's only turn, made on the grey afterwards into a second copy.
    header.orientation = turned ? 1 : heifExifOrientation(primary, fileSize);
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
