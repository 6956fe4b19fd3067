// Windows backend of the structured-storage layer: ole32 itself. No COM
// initialisation is needed for StgOpenStorage and the interfaces it hands out.
#include <objbase.h>
#include <objidl.h>
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "psr/compound_file.h"

namespace keldrin::cf {
namespace {

// Direct mode, read-only, other writers denied for as long as the root is open.
constexpr DWORD kRootMode = STGM_READ | STGM_SHARE_DENY_WRITE;  // 0x20
// Elements inside a compound file opened in direct mode must be opened exclusively.
constexpr DWORD kElementMode = STGM_READ | STGM_SHARE_EXCLUSIVE;  // 0x10
static_assert(kRootMode == 0x20 && kElementMode == 0x10);

std::wstring wide(const std::u16string& name) {
    return std::wstring(name.begin(), name.end());
}

// The results that mean "no such element"; everything else is a failure of the file.
Status elementStatus(HRESULT hr) {
    if (hr == S_OK) return Status::kOk;
    switch (hr) {
        case STG_E_FILENOTFOUND:
        case STG_E_PATHNOTFOUND:
        case STG_E_INVALIDNAME:
        case STG_E_INVALIDPARAMETER:
        case STG_E_INVALIDPOINTER:
            return Status::kNotFound;
        default:
            return Status::kFailed;
    }
}

class OleStream final : public Stream {
  public:
    explicit OleStream(IStream* stream) : stream_(stream) {}
    ~OleStream() override { stream_->Release(); }
    OleStream(const OleStream&) = delete;
    OleStream& operator=(const OleStream&) = delete;

    Status read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesRead) override {
        ULONG n = 0;
        HRESULT hr = stream_->Read(buffer, count, &n);
        bytesRead = n <= count ? static_cast<std::uint32_t>(n) : 0;
        // S_FALSE (fewer bytes than asked for with an error) counts as a failure too.
        return hr == S_OK ? Status::kOk : Status::kFailed;
    }

  private:
    IStream* stream_;
};

class OleStorage final : public Storage {
  public:
    explicit OleStorage(IStorage* storage) : storage_(storage) {}
    ~OleStorage() override { storage_->Release(); }
    OleStorage(const OleStorage&) = delete;
    OleStorage& operator=(const OleStorage&) = delete;

    Status openStorage(const std::u16string& name, std::unique_ptr<Storage>& out) override {
        IStorage* child = nullptr;
        HRESULT hr =
            storage_->OpenStorage(wide(name).c_str(), nullptr, kElementMode, nullptr, 0, &child);
        if (hr != S_OK) {
            if (child != nullptr) child->Release();
            return elementStatus(hr);
        }
        out = std::make_unique<OleStorage>(child);
        return Status::kOk;
    }

    Status openStream(const std::u16string& name, std::unique_ptr<Stream>& out) override {
        IStream* stream = nullptr;
        HRESULT hr = storage_->OpenStream(wide(name).c_str(), nullptr, kElementMode, 0, &stream);
        if (hr != S_OK) {
            if (stream != nullptr) stream->Release();
            return elementStatus(hr);
        }
        out = std::make_unique<OleStream>(stream);
        return Status::kOk;
    }

  private:
    IStorage* storage_;
};

}  // namespace

Status openRootStorage(const std::u16string& fileName, std::unique_ptr<Storage>& out,
                       ReportDamage* damage) {
    IStorage* root = nullptr;
    HRESULT hr = StgOpenStorage(wide(fileName).c_str(), nullptr, kRootMode, nullptr, 0, &root);
    if (hr != S_OK) {
        if (root != nullptr) root->Release();
        // ole32 tells no place in the file, only its result code.
        if (damage != nullptr) {
            char code[16];
            std::snprintf(code, sizeof code, "%08lX", static_cast<unsigned long>(hr));
            malformed(*damage,
                      std::string("ole32 refuses the compound file (result 0x") + code + ")", -1);
        }
        return hr == STG_E_FILENOTFOUND || hr == STG_E_PATHNOTFOUND ? Status::kNotFound
                                                                    : Status::kFailed;
    }
    out = std::make_unique<OleStorage>(root);
    return Status::kOk;
}

}  // namespace keldrin::cf
