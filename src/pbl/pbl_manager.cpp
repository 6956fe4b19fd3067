// PblManager: creates library files, opens them, and turns stored names into the form
// callers asked for (setNameEncoding).
#include <cstring>
#include <ctime>
#include <new>

#include "base/file.h"
#include "base/text.h"
#include "pbl/pbl_layout.h"
#include "pbl/pbl_library_impl.h"

namespace keldrin::pbl {

PblManager* createPblManager() {
    return new (std::nothrow) PblManager();
}

void PblManager::release() {
    delete this;
}

int PblManager::setNameEncoding(int mode) {
    mode_ = mode;
    return 0;
}

int PblManager::nameEncoding() {
    return mode_;
}

int PblManager::createLibrary(const char* path, int version) {
    if (path == nullptr) return kPblInvalidArgument;
    return createLibrary(ansiToWide(path), version);
}

int PblManager::createLibrary(const std::u16string& path, int version) {
    // Refused before the file is touched: an existing file must survive a bad request.
    if (version < 5) return kPblInvalidArgument;
    std::FILE* file = fs::openFile(path, "w+b");
    if (file == nullptr) return kPblIoError;
    Bytes image = layout::newLibraryImage(version, static_cast<std::int32_t>(std::time(nullptr)));
    bool ok = std::fwrite(image.data(), image.size(), 1, file) == 1;
    ok = std::fclose(file) == 0 && ok;
    return ok ? kPblOk : kPblWriteFailed;
}

PblLibraryInterface* PblManager::openLibrary(const char* path, int writable) {
    if (path == nullptr) return nullptr;
    return openLibrary(ansiToWide(path), writable);
}

PblLibraryInterface* PblManager::openLibrary(const std::u16string& path, int writable) {
    auto* library = new (std::nothrow) PblLibrary(this, writable != 0);
    if (library == nullptr) return nullptr;
    std::FILE* file = fs::openFile(path, writable != 0 ? "rb+" : "rb");
    if (file == nullptr || !library->open(file)) {
        delete library;  // closes the file, which nothing has written to
        return nullptr;
    }
    return library;
}

namespace {
std::string utf16Bytes(const std::u16string& text) {
    std::string out(text.size() * 2, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        out[2 * i] = static_cast<char>(text[i] & 0xFF);
        out[2 * i + 1] = static_cast<char>(text[i] >> 8);
    }
    return out;
}
}  // namespace

std::string PblManager::convertName(const std::uint8_t* storedName, int storedLength,
                                    bool unicodeLibrary) {
    if (storedName == nullptr || storedLength <= 0) return std::string();
    auto length = static_cast<std::size_t>(storedLength);
    if (!unicodeLibrary) {
        std::size_t n = strnlen(reinterpret_cast<const char*>(storedName), length);
        std::string narrow(reinterpret_cast<const char*>(storedName), n);
        if (mode_ != kNameUtf16 && mode_ != kNameOem && mode_ != kNameUtf8) return narrow;
        std::u16string wide = ansiToWide(narrow);
        if (mode_ == kNameUtf16) return utf16Bytes(wide);
        if (wide.empty()) return std::string();
        return wideToNarrow(wide.data(), static_cast<int>(wide.size() * 2),
                            mode_ == kNameOem ? CP_OEMCP : CP_UTF8);
    }
    std::u16string wide;
    for (std::size_t i = 0; i + 1 < length; i += 2) {
        auto c = static_cast<char16_t>(storedName[i] | (storedName[i + 1] << 8));
        if (c == 0) break;
        wide.push_back(c);
    }
    if (mode_ == kNameUtf16) return utf16Bytes(wide);
    if (wide.empty()) return std::string();
    unsigned codePage = mode_ == kNameOem ? CP_OEMCP : mode_ == kNameUtf8 ? CP_UTF8 : CP_ACP;
    return wideToNarrow(wide.data(), static_cast<int>(wide.size() * 2), codePage);
}

}  // namespace keldrin::pbl
