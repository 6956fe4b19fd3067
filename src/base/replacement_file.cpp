#include "base/replacement_file.h"

#include <string>
#include <utility>

#include "base/directory.h"
#include "base/file.h"
#include "base/path.h"
#include "base/text.h"

namespace keldrin::fs {

bool ReplacementFile::create(const std::u16string& target,
                             const std::function<std::u16string(int)>& nameFor, int attempts) {
    discard();
    // The name is made and watched in one step no interrupt can split, so an interrupt
    // finds either no file or a watched one.
    interrupt::HoldOff hold;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        std::u16string name = nameFor(attempt);
        bool taken = false;
        std::FILE* file = createExclusive(name, &taken);
        if (file != nullptr) {
            target_ = target;
            path_ = std::move(name);
            stream_ = file;
            written_ = 0;
            watched_.watch(path_);
            return true;
        }
        // Only a name found taken by its own creation is passed over: any other failure
        // (a missing directory, no permission) no further name would mend.
        if (!taken) return false;
    }
    return false;
}

bool ReplacementFile::create(const std::u16string& target, std::u16string_view tag) {
    const auto nameFor = [&](int attempt) {
        return target + u"." + std::u16string(tag) + numberToText(attempt) + u".tmp";
    };
    return create(target, nameFor);
}

bool ReplacementFile::write(const void* data, std::size_t length) {
    if (stream_ == nullptr) return false;
    if (length == 0) return true;
    if (!writeFileAt(stream_, data, length, written_)) return false;
    written_ += static_cast<std::int64_t>(length);
    return true;
}

bool ReplacementFile::closeStream() {
    if (stream_ == nullptr) return true;
    const bool closed = std::fclose(stream_) == 0;
    stream_ = nullptr;
    return closed;
}

bool ReplacementFile::letGo() {
    return closeStream();
}

CommitResult ReplacementFile::commit(Replace replace, Durability durability) {
    if (path_.empty()) return CommitResult::kFailed;
    if (durability != Durability::kNone) {
        // Written by name since letGo: the sync goes through a descriptor of its own.
        if (stream_ == nullptr) stream_ = openFile(path_, "rb+");
        if (stream_ == nullptr || !syncFile(stream_)) {
            closeStream();
            return CommitResult::kFailed;
        }
    }
    if (!closeStream()) return CommitResult::kFailed;
    // A file put in the place of another keeps who may use it: a private file stays
    // private. A new target keeps what a newly made file gets.
    if (!keepAttributes(attributesOf_.empty() ? target_ : attributesOf_, path_))
        return CommitResult::kFailed;
    {
        // Moved and forgotten in one step: an interrupt never removes a name that
        // another run may have taken since.
        interrupt::HoldOff hold;
        const bool moved = replace == Replace::kYes ? replaceFile(path_, target_)
                                                    : renameNoReplace(path_, target_);
        if (!moved)
            return replace == Replace::kNo && fileExists(target_) ? CommitResult::kTargetExists
                                                                  : CommitResult::kFailed;
        watched_.forget();
        path_.clear();
    }
    if (durability == Durability::kFull && !syncDirectory(path::parent(target_)))
        return CommitResult::kNotDurable;
    return CommitResult::kDone;
}

void ReplacementFile::discard() {
    closeStream();
    if (path_.empty()) return;
    watched_.remove();
    path_.clear();
}

}  // namespace keldrin::fs
