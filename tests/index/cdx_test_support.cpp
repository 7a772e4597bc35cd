#include "cdx_test_support.h"

#include "engine/base/byte_order.h"
#include "support/test_data.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <stdexcept>

namespace tarnis::test {

// ---------------------------------------------------------------------------
// Expected walks
// ---------------------------------------------------------------------------

namespace {

std::string Unescape(const std::string& quoted) {
    std::string text;
    for (size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] == '\\' && i + 3 < quoted.size() && quoted[i + 1] == 'x') {
            text += static_cast<char>(std::stoi(quoted.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            text += quoted[i];
        }
    }
    return text;
}

} // namespace

std::vector<WalkLine> ReadWalk(const std::string& folder, const std::string& tag) {
    std::ifstream in(DataFile(folder + "/expected-walk-" + tag + ".txt"));
    if (!in) throw std::runtime_error("no walk for " + folder + " " + tag);
    std::vector<WalkLine> lines;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        WalkLine walk;
        size_t pos = line.find(' ');
        walk.Record = std::stoi(line.substr(0, pos));
        std::string rest = line.substr(pos + 1);
        if (rest.compare(0, 2, "* ") == 0) {
            walk.Deleted = true;
            rest = rest.substr(2);
        }
        walk.Type = rest[0];
        const size_t open = rest.find('"');
        const size_t close = rest.rfind('"');
        const std::string quoted = rest.substr(open + 1, close - open - 1);
        if (walk.Type == 'N')
            walk.Number = std::stod(rest.substr(2, open - 3));
        else
            walk.Text = Unescape(quoted);
        lines.push_back(walk);
    }
    return lines;
}

std::string CopyCdxFixture(const std::string& folder, const std::string& dir) {
    CopyDataFile(folder + "/test_cdx.fpt", dir);
    CopyDataFile(folder + "/test_cdx.cdx", dir);
    return CopyDataFile(folder + "/test_cdx.dbf", dir);
}

// ---------------------------------------------------------------------------
// Tables that keep their indexes current
// ---------------------------------------------------------------------------

bool IndexedTable::Notify(int32_t Event, int32_t Value) {
    TVO_dBaseFld::Notify(Event, Value);
    if (Event == NotifyAfterWrite)
        for (TVobjIndexFile* file : Indexes)
            file->UpdateRecordKeys(RecNo, Value == 0);
    return true;
}

std::vector<int32_t> WalkRecords(TVobjIndexTag& tag, bool forward) {
    std::vector<int32_t> records;
    tag.ResetNodes(2);
    for (int32_t r = tag.Move(forward ? MoveTop : MoveBottom); r != 0;
         r = tag.Move(forward ? MoveNext : MovePrior)) {
        records.push_back(r);
        // A loop in a damaged tree must not hang the test.
        if (records.size() > 10'000'000) break;
    }
    return records;
}

TVobjCDXTag* AddEmptyTag(TVobjCDXFile& file, const std::string& name, const std::string& key,
                         const std::string& forCondition, bool ascending, bool unique,
                         uint8_t collation) {
    auto tag = std::make_unique<TVobjCDXTag>(&file, name, -1);
    tag->Collation = collation;
    // The definition without the build (DefineTag builds, and cannot build a tag of
    // key length 240): the framework's part, then the key type and length from the
    // table's current record.
    tag->TVobjIndexTag::DefineTag(name, key, forCondition, ascending, unique);
    tag->Descending = !ascending;
    TVobjIndexKeyData value(256);
    bool flag = false;
    if (tag->EvaluateKey(value, flag)) {
        if (value.Kind == vkNumber || value.Kind == vkDate) {
            tag->KeyType = value.Kind == vkNumber ? 'N' : 'D';
            tag->KeyLength = 8;
        } else {
            tag->KeyType = 'C';
            tag->KeyLength = static_cast<int16_t>(value.Size * (collation == 2 ? 2 : 1));
        }
    }
    tag->EntrySize = static_cast<uint16_t>(tag->KeyLength + 8);
    tag->MaxBranchKeys = static_cast<uint16_t>(500 / tag->EntrySize);
    TVobjIndexKey root(tag.get(), 0, nullptr);
    root.NodeKind = 3;
    root.Changed = true;
    root.Release();
    tag->RootPosition = root.NodePosition;
    tag->HeaderChanged = true;
    tag->WriteHeader();

    TVobjIndexKeyData entry;
    entry.SetString(tag->TagName);
    entry.Reference = tag->HeaderPosition;
    file.StructuralTag->ResetNodes(2);
    file.StructuralTag->AddKey(entry);
    file.StructuralTag->ReleaseNodes();
    file.Tags.push_back(std::move(tag));
    return static_cast<TVobjCDXTag*>(file.Tags.back().get());
}

// ---------------------------------------------------------------------------
// The independent decoder
// ---------------------------------------------------------------------------

namespace {

int BitLength(uint32_t v) {
    int n = 0;
    while (v) {
        ++n;
        v >>= 1;
    }
    return n;
}

class Decoder {
public:
    Decoder(const std::string& path, uint32_t records, const std::set<std::string>& binary,
            RawCdx& out)
        : bytes_(ReadFileBytes(path)), records_(records), binary_(binary), out_(out) {}

    void Run() {
        if (bytes_.size() < 1536 || bytes_.size() % 512 != 0)
            Problem("file size " + std::to_string(bytes_.size()) + " is not whole blocks of 512");
        out_.Directory = Header(0, "");
        if (!out_.Problems.empty()) return;
        Tree(out_.Directory, true);
        if (out_.Directory.Levels.empty()) return;
        for (const RawNode& leaf : out_.Directory.Levels.back())
            for (const RawEntry& e : leaf.Entries) {
                std::string name = e.Key;
                while (!name.empty() && name.back() == ' ')
                    name.pop_back();
                RawTag tag = Header(static_cast<int32_t>(e.Record), name);
                Tree(tag, false);
                out_.Tags.push_back(std::move(tag));
            }
    }

private:
    std::string bytes_;
    uint32_t records_;
    const std::set<std::string>& binary_;
    RawCdx& out_;
    std::set<int32_t> seen_;

    const uint8_t* At(int64_t position) const {
        return reinterpret_cast<const uint8_t*>(bytes_.data()) + position;
    }
    void Problem(const std::string& text) { out_.Problems.push_back(text); }

    RawTag Header(int32_t position, const std::string& name) {
        RawTag tag;
        tag.Name = name;
        tag.HeaderPosition = position;
        const std::string where = "header of " + (name.empty() ? "directory" : name);
        if (position < 0 || position % 512 != 0 ||
            position + 1024 > static_cast<int64_t>(bytes_.size())) {
            Problem(where + " at " + std::to_string(position) + " is outside the file");
            return tag;
        }
        const uint8_t* h = At(position);
        tag.Root = GetLE32(h);
        tag.KeyLength = GetLE16(h + 12);
        tag.Options = h[14];
        tag.Signature = h[15];
        tag.Order = GetLE16(h + 502);
        tag.KeyExpression = reinterpret_cast<const char*>(h + 512);
        if (tag.KeyExpression.size() < 511)
            tag.ForExpression =
                reinterpret_cast<const char*>(h + 512 + tag.KeyExpression.size() + 1);
        const bool directory = name.empty();
        if (tag.Root == 0 || tag.Root % 512 != 0 || tag.Root + 512 > bytes_.size())
            Problem(where + ": root " + std::to_string(tag.Root) + " is not a node of the file");
        if (tag.KeyLength == 0 || tag.KeyLength > 240 || (directory && tag.KeyLength != 10))
            Problem(where + ": key length " + std::to_string(tag.KeyLength));
        const uint8_t base = directory ? 0xE0 : 0x60;
        if ((tag.Options & ~0x09) != base)
            Problem(where + ": options " + std::to_string(tag.Options));
        if (!(tag.Signature == 1 || tag.Signature == 2)) Problem(where + ": signature");
        if (tag.Order > 1) Problem(where + ": order word");
        if (GetLE16(h + 504) != tag.KeyExpression.size() + 1 ||
            GetLE16(h + 510) != GetLE16(h + 504))
            Problem(where + ": key expression length");
        const size_t forLength = (tag.Options & 0x08) ? tag.ForExpression.size() : 0;
        if (GetLE16(h + 506) != forLength + 1) Problem(where + ": FOR expression length");
        if (GetLE16(h + 508) != 0) Problem(where + ": bytes 508-509");
        if (!directory && tag.KeyExpression.empty()) Problem(where + ": no key expression");
        if (((tag.Options & 0x08) != 0) != !tag.ForExpression.empty())
            Problem(where + ": FOR bit and FOR text disagree");
        return tag;
    }

    // Keys in the order other programs expect: 'C' keys padded with blanks, others
    // with zeros, compared byte by byte; equal keys by record number.
    static int Compare(const std::string& a, const std::string& b, size_t length, char pad) {
        std::string x = a, y = b;
        x.resize(std::max(length, x.size()), pad);
        y.resize(std::max(length, y.size()), pad);
        return std::memcmp(x.data(), y.data(), std::min(x.size(), y.size()));
    }

    void Tree(RawTag& tag, bool directory) {
        if (!out_.Problems.empty()) return;
        const std::string name = directory ? "directory" : tag.Name;
        const char pad = directory ? ' ' : PadOf(tag);
        std::vector<int32_t> level{static_cast<int32_t>(tag.Root)};
        std::vector<const RawEntry*> parents{nullptr};
        for (int depth = 0; !level.empty(); ++depth) {
            if (depth > 64) {
                Problem(name + ": deeper than 64 levels");
                return;
            }
            std::vector<RawNode> nodes;
            std::vector<int32_t> next;
            for (size_t i = 0; i < level.size(); ++i) {
                const int32_t position = level[i];
                if (position <= 0 || position % 512 != 0 ||
                    position + 512 > static_cast<int64_t>(bytes_.size()) ||
                    !seen_.insert(position).second) {
                    Problem(name + ": bad or repeated node position " + std::to_string(position));
                    return;
                }
                RawNode node = Node(tag, position, depth == 0, name, pad);
                const int32_t left = i == 0 ? -1 : level[i - 1];
                const int32_t right = i + 1 < level.size() ? level[i + 1] : -1;
                if (node.Left != left || node.Right != right)
                    Problem(name + ": siblings of node " + std::to_string(position));
                nodes.push_back(std::move(node));
            }
            tag.Levels.push_back(std::move(nodes));
            std::vector<RawNode>& placed = tag.Levels.back();
            // Parent keys: the highest key and its record of each child.
            for (size_t i = 0; i < placed.size(); ++i) {
                const RawEntry* parent = parents[i];
                if (parent == nullptr) continue;
                if (placed[i].Entries.empty()) {
                    Problem(name + ": empty node " + std::to_string(placed[i].Position));
                    continue;
                }
                const RawEntry& last = placed[i].Entries.back();
                if (Compare(parent->Key, last.Key, tag.KeyLength, pad) != 0 ||
                    parent->Record != last.Record)
                    Problem(name + ": parent key of node " + std::to_string(placed[i].Position));
            }
            // Key order along the whole level.
            const RawEntry* previous = nullptr;
            for (const RawNode& node : placed)
                for (const RawEntry& e : node.Entries) {
                    if (previous) {
                        const int c = Compare(previous->Key, e.Key, tag.KeyLength, pad);
                        if (c > 0 || (c == 0 && previous->Record >= e.Record))
                            Problem(name + ": keys out of order in node " +
                                    std::to_string(node.Position));
                    }
                    previous = &e;
                }
            parents.clear();
            const bool leaves = (placed.front().Attributes & 2) != 0;
            for (const RawNode& node : placed) {
                if (((node.Attributes & 2) != 0) != leaves)
                    Problem(name + ": leaves and branches mixed on one level");
                if (leaves) continue;
                for (const RawEntry& e : node.Entries) {
                    next.push_back(static_cast<int32_t>(e.Child));
                    parents.push_back(&e);
                }
            }
            level = std::move(next);
        }
    }

    char PadOf(const RawTag& tag) const { return binary_.count(tag.Name) ? '\0' : ' '; }

    RawNode Node(const RawTag& tag, int32_t position, bool root, const std::string& name,
                 char pad) {
        RawNode node;
        node.Position = position;
        const uint8_t* p = At(position);
        node.Bytes.assign(reinterpret_cast<const char*>(p), 512);
        node.Attributes = GetLE16(p);
        const uint16_t count = GetLE16(p + 2);
        node.Left = static_cast<int32_t>(GetLE32(p + 4));
        node.Right = static_cast<int32_t>(GetLE32(p + 8));
        const std::string where = name + " node " + std::to_string(position);
        if (node.Attributes > 3) Problem(where + ": attributes");
        if (((node.Attributes & 1) != 0) != root) Problem(where + ": root bit");
        const int keyLength = tag.KeyLength;
        if (!(node.Attributes & 2)) {
            const int entrySize = keyLength + 8;
            if (count > 500 / entrySize) {
                Problem(where + ": too many branch keys");
                return node;
            }
            for (int i = 0; i < count; ++i) {
                const uint8_t* e = p + 12 + i * entrySize;
                RawEntry entry;
                entry.Key.assign(reinterpret_cast<const char*>(e), keyLength);
                while (!entry.Key.empty() && entry.Key.back() == pad)
                    entry.Key.pop_back();
                entry.Record = GetBE32(e + keyLength);
                entry.Child = GetBE32(e + keyLength + 4);
                node.Entries.push_back(entry);
            }
            return node;
        }
        node.FreeSpace = GetLE16(p + 12);
        node.RecordMask = GetLE32(p + 14);
        node.DuplicateMask = p[18];
        node.TrailMask = p[19];
        node.RecordBits = p[20];
        node.DuplicateBits = p[21];
        node.TrailBits = p[22];
        node.EntryBytes = p[23];
        // The layout rule: b bits for each count, the rest of the entry for records.
        const int b = BitLength(static_cast<uint32_t>(keyLength));
        const int eb = node.EntryBytes;
        const int recordBits = std::min(24 - 2 * b + 8 * (eb - 3), 31);
        if (node.DuplicateBits != b || node.TrailBits != b || node.DuplicateMask != (1 << b) - 1 ||
            node.TrailMask != (1 << b) - 1 || eb < 3 || eb > 6 || node.RecordBits != recordBits ||
            node.RecordMask != static_cast<uint32_t>((uint64_t{1} << recordBits) - 1)) {
            Problem(where + ": leaf layout");
            return node;
        }
        // The smallest entry that holds the highest value to store.
        const uint32_t highest = tag.Name.empty() ? static_cast<uint32_t>(bytes_.size()) : records_;
        if (eb > 3 && recordBits - 8 < 31 && ((uint64_t{1} << (recordBits - 8)) - 1) >= highest)
            Problem(where + ": entries wider than the table needs");
        if (count * eb > 488) {
            Problem(where + ": entries beyond the area");
            return node;
        }
        std::string previous(static_cast<size_t>(keyLength), pad);
        int keyPosition = 488;
        for (int i = 0; i < count; ++i) {
            const uint8_t* e = p + 24 + i * eb;
            uint64_t bits = 0;
            for (int k = 0; k < eb; ++k)
                bits |= static_cast<uint64_t>(e[k]) << (8 * k);
            RawEntry entry;
            entry.Record = static_cast<uint32_t>(bits) & node.RecordMask;
            const uint32_t w = GetLE16(e + eb - 2);
            entry.Trailing = static_cast<int>((w >> (16 - b)) & node.TrailMask);
            entry.Duplicate = static_cast<int>((w >> (16 - 2 * b)) & node.DuplicateMask);
            const int stored = keyLength - entry.Duplicate - entry.Trailing;
            if (stored < 0 || keyPosition - stored < count * eb) {
                Problem(where + ": entry " + std::to_string(i) + " counts");
                return node;
            }
            keyPosition -= stored;
            entry.Key = previous.substr(0, entry.Duplicate) +
                        std::string(reinterpret_cast<const char*>(p + 24 + keyPosition), stored);
            if (i == 0 && entry.Duplicate != 0) Problem(where + ": first key shares bytes");
            // Trailing bytes are padding: blanks of a 'C' key, zeros of a number.
            if (!entry.Key.empty() && entry.Trailing > 0 && entry.Key.back() == pad)
                Problem(where + ": entry " + std::to_string(i) + " stores a trailing pad byte");
            previous = entry.Key + std::string(static_cast<size_t>(entry.Trailing), pad);
            node.Entries.push_back(entry);
        }
        const int used = count * eb + (488 - keyPosition);
        if (node.FreeSpace != 488 - used)
            Problem(where + ": free space " + std::to_string(node.FreeSpace) + ", used " +
                    std::to_string(used));
        for (int i = count * eb; i < keyPosition; ++i)
            if (p[24 + i] != 0) {
                Problem(where + ": bytes between entries and keys are not zero");
                break;
            }
        return node;
    }
};

} // namespace

RawCdx DecodeCdx(const std::string& path, uint32_t recordCount,
                 const std::set<std::string>& binaryTags) {
    RawCdx out;
    Decoder(path, recordCount, binaryTags, out).Run();
    return out;
}

} // namespace tarnis::test
