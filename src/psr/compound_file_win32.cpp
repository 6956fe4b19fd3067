// Windows backend of the structured-storage layer: ole32 itself. No COM
// initialisation is needed for StgOpenStorage and the interfaces it hands out.
#include <objbase.h>
#include <objidl.h>
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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

// Holds one reference to a COM object and releases it once.
template <typename Interface>
class ComReference {
  public:
    explicit ComReference(Interface* object) : object_(object) {}
    ~ComReference() { object_->Release(); }
    ComReference(const ComReference&) = delete;
    ComReference& operator=(const ComReference&) = delete;

  protected:
    Interface* object_;
};

class OleStream final : public Stream, private ComReference<IStream> {
  public:
    explicit OleStream(IStream* stream) : ComReference(stream) {}

    Status read(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesRead) override {
        ULONG n = 0;
        HRESULT hr = object_->Read(buffer, count, &n);
        bytesRead = n <= count ? static_cast<std::uint32_t>(n) : 0;
        // S_FALSE (fewer bytes than asked for with an error) counts as a failure too.
        return hr == S_OK ? Status::kOk : Status::kFailed;
    }
};

class OleStorage final : public Storage, private ComReference<IStorage> {
  public:
    explicit OleStorage(IStorage* storage) : ComReference(storage) {}

    Status list(std::vector<Element>& out) override {
        out.clear();
        IEnumSTATSTG* elements = nullptr;
        HRESULT hr = object_->EnumElements(0, nullptr, 0, &elements);
        if (hr != S_OK) {
            if (elements != nullptr) elements->Release();
            return Status::kFailed;
        }
        ComReference<IEnumSTATSTG> held(elements);
        for (;;) {
            STATSTG stat{};
            ULONG fetched = 0;
            hr = elements->Next(1, &stat, &fetched);
            if (fetched != 1) break;
            // The name is ours to free, whatever the element is.
            std::u16string name;
            if (stat.pwcsName != nullptr) {
                for (const wchar_t* c = stat.pwcsName; *c != L'\0'; ++c)
                    name.push_back(static_cast<char16_t>(*c));
                CoTaskMemFree(stat.pwcsName);
            }
            if (stat.type == STGTY_STORAGE)
                out.push_back({std::move(name), true, 0});
            else if (stat.type == STGTY_STREAM)
                out.push_back({std::move(name), false, stat.cbSize.QuadPart});
            if (hr != S_OK) break;
        }
        // S_FALSE with nothing fetched is the end; anything else is a failure.
        return hr == S_FALSE || hr == S_OK ? Status::kOk : Status::kFailed;
    }

    Status openStorage(const std::u16string& name, std::unique_ptr<Storage>& out) override {
        IStorage* child = nullptr;
        HRESULT hr =
            object_->OpenStorage(wide(name).c_str(), nullptr, kElementMode, nullptr, 0, &child);
        return adopt<OleStorage>(hr, child, out);
    }

    Status openStream(const std::u16string& name, std::unique_ptr<Stream>& out) override {
        IStream* stream = nullptr;
        HRESULT hr = object_->OpenStream(wide(name).c_str(), nullptr, kElementMode, 0, &stream);
        return adopt<OleStream>(hr, stream, out);
    }

  private:
    // Takes over what an Open call returned; on failure a pointer it may still have set
    // is released, not leaked.
    template <typename Opened, typename Interface, typename Element>
    static Status adopt(HRESULT hr, Interface* opened, std::unique_ptr<Element>& out) {
        if (hr != S_OK) {
            if (opened != nullptr) opened->Release();
            return elementStatus(hr);
        }
        out = std::make_unique<Opened>(opened);
        return Status::kOk;
    }
};

}  // namespace

Status openRootStorage(const std::u16string& fileName, std::unique_ptr<Storage>& out,
                       Damage* damage) {
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
