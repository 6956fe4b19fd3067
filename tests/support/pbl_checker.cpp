#include "support/pbl_checker.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>

#include "base/file.h"
#include "base/text.h"

namespace keldrin::checks {

namespace {

constexpr std::int64_t kBlock = 512;
constexpr int kNode = 3072;
constexpr int kArea = 3040;

std::uint32_t u32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::int32_t i32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(u32(p));
}
std::uint16_t u16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::int16_t i16(const std::uint8_t* p) {
    return static_cast<std::int16_t>(u16(p));
}

std::string hex(std::int64_t v) {
    std::ostringstream s;
    s << v << " (0x" << std::hex << v << ")";
    return s.str();
}

// A name as a sequence of case-folded units, for ordering and duplicates.
using Key = std::vector<std::uint16_t>;

class Checker {
  public:
    explicit Checker(const std::vector<std::uint8_t>& f) : f_(f) {}

    std::string run() {
        if (f_.size() < 4) return "file too short";
        if (f_.size() % kBlock != 0)
            return "file length " + hex(static_cast<std::int64_t>(f_.size())) +
                   " is not a multiple of 512";
        blocks_ = static_cast<std::int64_t>(f_.size()) / kBlock;
        owner_.assign(static_cast<std::size_t>(blocks_), "");
        if (std::memcmp(f_.data(), "HDR*", 4) == 0) {
            header_ = 0;
        } else {
            const std::uint8_t* t = f_.data() + f_.size() - kBlock;
            if (std::memcmp(t, "TRL*", 4) != 0) return "no HDR* at 0 and no TRL* trailer";
            header_ = i32(t + 4);
            if (header_ <= 0 || header_ % kBlock != 0 ||
                header_ + 1024 > static_cast<std::int64_t>(f_.size()))
                return "trailer header offset " + hex(header_) + " is bad";
            if (std::memcmp(f_.data() + header_, "HDR*", 4) != 0) return "trailer names no HDR*";
            if (!own(blocks_ - 1, "trailer")) return problem_;
        }
        const std::uint8_t* h = f_.data() + header_;
        if (std::memcmp(h + 4, "Powe", 4) == 0) {
            cs_ = 1;
        } else if (h[4] == 'P' && h[5] == 0 && h[6] == 'o' && h[7] == 0) {
            cs_ = 2;
        } else {
            return "header names neither variant";
        }
        const bool uni = cs_ == 2;
        ehs_ = uni ? 28 : 24;
        const std::int64_t area = uni ? 1024 : 512;
        const std::int64_t root = header_ + (uni ? 1536 : 1024);
        // Inside a host file the library starts at its header block: its first bitmap
        // block follows the header area, and bit b stands for block b counted from the
        // header block. Every stored link stays absolute.
        const std::int64_t bitmap0 = header_ + area;
        const std::int64_t base = header_ / kBlock;
        for (std::int64_t b = header_ / kBlock; b < (header_ + area) / kBlock; ++b)
            if (!own(b, "header")) return problem_;

        // Bitmap chain.
        std::vector<std::uint8_t> bits;
        std::int64_t link = bitmap0;
        for (int j = 0; link != 0; ++j) {
            if (j > blocks_) return "bitmap chain loops";
            if (link % kBlock != 0 || link < 0 ||
                link + kBlock > static_cast<std::int64_t>(f_.size()))
                return "bitmap link " + hex(link) + " is outside the file";
            const std::uint8_t* b = f_.data() + link;
            if (std::memcmp(b, "FRE*", 4) != 0)
                return "bitmap block at " + hex(link) + " lacks FRE*";
            if (!own(link / kBlock, "bitmap")) return problem_;
            for (int i = 0; i < 4032; ++i) bits.push_back((b[8 + i / 8] >> (7 - i % 8)) & 1);
            link = i32(b + 4);
        }

        // Library data.
        const std::uint8_t* libFirst = h + (uni ? 558 : 284);
        std::int32_t libLength = i32(libFirst + 4);
        if (libLength < 0) return "negative library data length";
        if (libLength == 0 && i32(libFirst) != 0) return "empty library data owns blocks";
        if (libLength > 0) {
            std::string p = chain(i32(libFirst), libLength, false, "library data");
            if (!p.empty()) return p;
        }
        // Comment terminated inside its field.
        {
            const int cap = uni ? 512 : 256;
            const std::uint8_t* c = h + (uni ? 46 : 28);
            bool term = false;
            for (int i = 0; i + cs_ <= cap; i += cs_) {
                if (c[i] == 0 && (cs_ == 1 || c[i + 1] == 0)) {
                    term = true;
                    break;
                }
            }
            if (!term) return "library comment is not terminated";
        }

        std::string p = tree(root);
        if (!p.empty()) return p;

        // Bitmap against ownership. The blocks before the header and the trailer are the
        // host file's, which the library's bitmap does not mark.
        const std::int64_t trailer = header_ > 0 ? blocks_ - 1 : -1;
        for (std::int64_t i = 0; i < static_cast<std::int64_t>(bits.size()); ++i) {
            const std::int64_t b = base + i;
            if (b == trailer) {
                if (bits[static_cast<std::size_t>(i)] != 0)
                    return "bitmap marks the trailer block " + std::to_string(b) + " in use";
                continue;
            }
            bool used = b < blocks_ && !owner_[static_cast<std::size_t>(b)].empty();
            bool marked = bits[static_cast<std::size_t>(i)] != 0;
            if (marked && b >= blocks_)
                return "bitmap marks block " + std::to_string(b) + " beyond the end of the file";
            if (marked && !used)
                return "block " + std::to_string(b) +
                       " is marked in use but nothing owns it (leaked)";
            if (!marked && used)
                return "block " + std::to_string(b) + " (" + owner_[static_cast<std::size_t>(b)] +
                       ") is in use but marked free";
        }
        for (std::int64_t b = base + static_cast<std::int64_t>(bits.size()); b < blocks_; ++b) {
            if (b != trailer && !owner_[static_cast<std::size_t>(b)].empty())
                return "block " + std::to_string(b) + " is in use but beyond the bitmap";
        }
        return "";
    }

  private:
    bool own(std::int64_t block, const std::string& what) {
        if (block < 0 || block >= blocks_) {
            problem_ = what + ": block " + std::to_string(block) + " is outside the file";
            return false;
        }
        std::string& o = owner_[static_cast<std::size_t>(block)];
        if (!o.empty()) {
            problem_ = "block " + std::to_string(block) + " is used twice: " + o + " and " + what;
            return false;
        }
        o = what;
        return true;
    }

    Key key(const std::uint8_t* name, int bytes) const {
        Key k;
        for (int i = 0; i + cs_ <= bytes; i += cs_) {
            std::uint16_t c = cs_ == 1 ? name[i] : u16(name + i);
            if (c == 0) break;
            if (c >= 'A' && c <= 'Z') c = static_cast<std::uint16_t>(c + 32);
            k.push_back(c);
        }
        return k;
    }

    std::string chain(std::int32_t first, std::int64_t size, bool entry, const std::string& what) {
        std::int64_t total = 0;
        std::int64_t n = 0;
        for (std::int64_t link = first; link != 0; ++n) {
            if (n > blocks_) return what + ": data chain loops";
            if (link % kBlock != 0 || link < 0 ||
                link + kBlock > static_cast<std::int64_t>(f_.size()))
                return what + ": data link " + hex(link) + " is outside the file";
            const std::uint8_t* b = f_.data() + link;
            if (std::memcmp(b, "DAT*", 4) != 0)
                return what + ": block at " + hex(link) + " lacks DAT*";
            if (!own(link / kBlock, what)) return problem_;
            int used = u16(b + 8);
            std::int32_t next = i32(b + 4);
            if (used > 502) return what + ": used count " + std::to_string(used) + " above 502";
            if (next != 0 && used != 502)
                return what + ": block at " + hex(link) + " is not full but not last";
            for (int i = 10 + used; i < 512; ++i)
                if (b[i] != 0)
                    return what + ": block at " + hex(link) + " has bytes after its used count";
            total += used;
            link = next;
        }
        if (total != size)
            return what + ": chain holds " + std::to_string(total) + " bytes, size says " +
                   std::to_string(size);
        std::int64_t expectBlocks = size == 0 ? (entry ? 1 : 0) : (size + 501) / 502;
        if (n != expectBlocks)
            return what + ": chain has " + std::to_string(n) + " blocks, expected " +
                   std::to_string(expectBlocks);
        return "";
    }

    struct Visit {
        std::int64_t node;
        std::int64_t parent;
        bool hasLow, hasHigh;
        Key low, high;
    };

    std::string tree(std::int64_t root) {
        std::vector<Visit> stack{{root, 0, false, false, {}, {}}};
        std::set<Key> all;
        std::int64_t visited = 0;
        while (!stack.empty()) {
            Visit v = stack.back();
            stack.pop_back();
            if (++visited > blocks_) return "directory loops";
            std::int64_t off = v.node;
            std::string at = "node at " + hex(off);
            if (off % kBlock != 0 || off < 0 || off + kNode > static_cast<std::int64_t>(f_.size()))
                return at + " is outside the file";
            const std::uint8_t* n = f_.data() + off;
            if (std::memcmp(n, "NOD*", 4) != 0) return at + " lacks NOD*";
            for (int i = 0; i < 6; ++i)
                if (!own(off / kBlock + i, at)) return problem_;
            std::int32_t left = i32(n + 4), parent = i32(n + 8), right = i32(n + 12);
            int freeBytes = i16(n + 16), lastPos = u16(n + 18), count = i16(n + 20),
                firstPos = u16(n + 22);
            if (parent != v.parent)
                return at + ": parent link " + hex(parent) + ", expected " + hex(v.parent);
            for (int i = 24; i < 32; ++i)
                if (n[i] != 0) return at + ": reserved header bytes not zero";
            if (freeBytes < 0 || freeBytes > kArea)
                return at + ": free bytes " + std::to_string(freeBytes);
            if (count < 0) return at + ": negative count";
            if (count == 0 && off != root) return at + ": empty node in the tree";
            int p = 0;
            bool haveMin = false;
            Key minK, maxK;
            int minPos = 0, maxPos = 0;
            for (int i = 0; i < count; ++i) {
                if (p + ehs_ > kArea)
                    return at + ": record " + std::to_string(i) + " overruns the data area";
                const std::uint8_t* r = n + 32 + p;
                if (std::memcmp(r, "ENT*", 4) != 0)
                    return at + ": record " + std::to_string(i) + " lacks ENT*";
                int nameLen = u16(r + ehs_ - 2);
                if (nameLen < cs_ || p + ehs_ + nameLen > kArea)
                    return at + ": record " + std::to_string(i) + " has a bad name length";
                const std::uint8_t* name = r + ehs_;
                for (int k = 0; k < cs_; ++k)
                    if (name[nameLen - cs_ + k] != 0)
                        return at + ": record " + std::to_string(i) + " name is not terminated";
                Key k = key(name, nameLen);
                if (static_cast<int>(k.size()) * cs_ != nameLen - cs_)
                    return at + ": record " + std::to_string(i) + " name holds a zero";
                std::string what = at + " record " + std::to_string(i);
                if (v.hasLow && !(v.low < k))
                    return what + ": name out of tree order (not after its lower bound)";
                if (v.hasHigh && !(k < v.high))
                    return what + ": name out of tree order (not before its upper bound)";
                if (!all.insert(k).second) return what + ": name is stored twice";
                int pos = 32 + p + ehs_;
                if (!haveMin || k < minK) {
                    minK = k;
                    minPos = pos;
                }
                if (!haveMin || maxK < k) {
                    maxK = k;
                    maxPos = pos;
                }
                haveMin = true;
                std::int32_t first = i32(r + (cs_ == 2 ? 12 : 8));
                std::int32_t dataSize = i32(r + (cs_ == 2 ? 16 : 12));
                int comment = u16(r + ehs_ - 4) * cs_;
                if (dataSize < 0) return what + ": negative data size";
                if (comment > dataSize) return what + ": comment longer than the data";
                if (first != 0 || dataSize != 0) {
                    std::string c = chain(first, dataSize, true, what);
                    if (!c.empty()) return c;
                }
                p += ehs_ + nameLen;
            }
            if (p != kArea - freeBytes)
                return at + ": records take " + std::to_string(p) + " bytes, free bytes say " +
                       std::to_string(kArea - freeBytes);
            if (count == 0 && (firstPos != 0 || lastPos != 0))
                return at + ": empty node with positions";
            if (count > 0 && firstPos != minPos)
                return at + ": first position " + std::to_string(firstPos) + ", smallest name at " +
                       std::to_string(minPos);
            if (count > 0 && lastPos != maxPos)
                return at + ": last position " + std::to_string(lastPos) + ", largest name at " +
                       std::to_string(maxPos);
            if (right != 0) stack.push_back({right, off, true, v.hasHigh, maxK, v.high});
            if (left != 0) stack.push_back({left, off, v.hasLow, true, v.low, minK});
            if ((left != 0 || right != 0) && count == 0) return at + ": empty node with children";
        }
        return "";
    }

    const std::vector<std::uint8_t>& f_;
    std::int64_t blocks_ = 0;
    std::int64_t header_ = 0;
    int cs_ = 1;
    int ehs_ = 24;
    std::vector<std::string> owner_;
    std::string problem_;
};

}  // namespace

std::vector<std::uint8_t> readWholeFile(const std::u16string& path) {
    std::vector<std::uint8_t> out;
    std::FILE* f = fs::openFile(path, "rb");
    if (f == nullptr) return out;
    std::uint8_t buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

bool writeWholeFile(const std::u16string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* f = fs::openFile(path, "wb");
    if (f == nullptr) return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), bytes.size(), 1, f) == 1;
    return std::fclose(f) == 0 && ok;
}

std::string checkLibraryBytes(const std::vector<std::uint8_t>& bytes) {
    return Checker(bytes).run();
}

std::string checkLibraryStructure(const std::u16string& path) {
    std::vector<std::uint8_t> bytes = readWholeFile(path);
    if (bytes.empty()) return "cannot read the file or it is empty";
    return checkLibraryBytes(bytes);
}

std::string checkLibraryStructure(const std::string& utf8Path) {
    return checkLibraryStructure(utf8ToUtf16(utf8Path));
}

}  // namespace keldrin::checks
