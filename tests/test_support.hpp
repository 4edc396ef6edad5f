// Small helpers shared by the test files.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>

// value in count bytes, least significant first (le) or last (be).
inline std::string le(uint64_t value, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += static_cast<char>(value >> 8 * i);
    }
    return text;
}
inline std::string be(uint64_t value, int count) {
    const std::string text = le(value, count);
    return {text.rbegin(), text.rend()};
}

// A TIFF structure whose first directory holds the EXIF orientation.
inline std::string exif(int orientation) {
    return "II*" + std::string(1, '\0') + le(8, 4) + le(1, 2) + le(0x112, 2) + le(3, 2) + le(1, 4) +
           le(orientation, 4) + le(0, 4);
}

// jpeg with an APP1 segment of that EXIF orientation first.
inline std::string withExif(const std::string& jpeg, int orientation) {
    const std::string app1 = "Exif" + std::string(2, '\0') + exif(orientation);
    return "\xFF\xD8\xFF\xE1" + be(app1.size() + 2, 2) + app1 + jpeg.substr(2);
}

// FNV-1a, 64 bits, in hexadecimal: small, stable and plenty to notice a changed digit.
inline std::string digest(const std::string& text) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) {
        hash = (hash ^ c) * 0x100000001b3ULL;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

// png (as the image library writes it) with a chunk of kind and data added after its header.
inline std::string withPngChunk(const std::string& png, const std::string& kind,
                                const std::string& data) {
    const std::string named = kind + data;
    uint32_t crc = 0xFFFFFFFF;
    for (unsigned char byte : named) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = crc >> 1 ^ (crc & 1 ? 0xEDB88320 : 0);
        }
    }
    return png.substr(0, 33) + be(data.size(), 4) + named + be(~crc, 4) + png.substr(33);
}

inline std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), {});
}

inline long entriesIn(const std::filesystem::path& folder) {
    return std::distance(std::filesystem::directory_iterator(folder), {});
}

// What AddressSanitizer's shadow memory adds to a process's peak, for memory bounds that must
// hold in the sanitized build too.
#ifdef LEAFID_SANITIZED
constexpr long sanitizerKilobytes = 1024 * 1024;
#else
constexpr long sanitizerKilobytes = 0;
#endif

// A fresh directory under the system's temporary folder, removed again at the end of the test.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "leafid-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string write(const std::string& name, const std::string& content) const {
        std::ofstream(file(name), std::ios::binary) << content;
        return file(name);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Collects what the code under test writes to std::cout.
class CoutCapture {
  public:
    CoutCapture() : old_(std::cout.rdbuf(buffer_.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(old_); }
    CoutCapture(const CoutCapture&) = delete;
    CoutCapture& operator=(const CoutCapture&) = delete;
    std::string text() const { return buffer_.str(); }

  private:
    std::ostringstream buffer_;
    std::streambuf* old_;
};

// Makes German (decimal comma) the global C++ and C locale while it lives, as a user's
// environment could; active() is false when the system lacks that locale.
class GermanLocale {
  public:
    GermanLocale() {
        try {
            std::locale::global(std::locale("de_DE.UTF-8"));
            active_ = true;
        } catch (const std::runtime_error&) {
            active_ = false;
        }
    }
    ~GermanLocale() { std::locale::global(std::locale::classic()); }
    GermanLocale(const GermanLocale&) = delete;
    GermanLocale& operator=(const GermanLocale&) = delete;
    bool active() const { return active_; }

  private:
    bool active_ = false;
};
