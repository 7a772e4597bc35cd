#include "engine/index/TVobjIndexCheck.h"

#include "engine/table/TVO_dBaseFld.h"

#include <algorithm>
#include <exception>
#include <map>
#include <set>
#include <unordered_map>

namespace tarnis {

namespace {

struct Pending {
    int32_t Position;
    bool HasParent;
    TVobjIndexKeyData ParentEntry;
};

std::string At(int32_t position) {
    return "node at " + std::to_string(position);
}

std::string Bytes(const TtvVariant& key) {
    return std::string(reinterpret_cast<const char*>(key.Data.get()),
                       static_cast<size_t>(key.IsEmpty() ? 0 : key.Size));
}

} // namespace

TVobjIndexCheck::TVobjIndexCheck(TVobjIndexTag& Tag, bool WithTable) : tag_(Tag) {
    try {
        tag_.ReleaseNodes();
        CheckTree();
        if (WithTable && Ok()) CheckAgainstTable();
    } catch (const std::exception& e) {
        Problem(e.what());
    }
}

std::string TVobjIndexCheck::Report() const {
    std::string text;
    for (const std::string& problem : Problems)
        text += problem + "\n";
    return text;
}

void TVobjIndexCheck::Problem(const std::string& text) {
    Problems.push_back("tag " + tag_.TagName + ": " + text);
}

void TVobjIndexCheck::CheckTree() {
    const bool ordered = tag_.IndexFile->RecordOrdered;
    std::vector<Pending> level;
    level.push_back({tag_.RootPosition, false, TVobjIndexKeyData()});
    std::set<int32_t> seen;
    for (int32_t depth = 0; !level.empty(); ++depth) {
        if (depth >= MaxTreeDepth) {
            Problem("deeper than " + std::to_string(MaxTreeDepth) + " levels");
            return;
        }
        Levels = depth + 1;
        std::vector<Pending> next;
        int32_t levelKind = -1;
        std::unique_ptr<TVobjIndexKeyData> previous;
        for (size_t i = 0; i < level.size(); ++i) {
            const Pending& pending = level[i];
            if (!seen.insert(pending.Position).second) {
                Problem(At(pending.Position) + " is reached twice");
                return;
            }
            std::unique_ptr<TVobjIndexKey> node;
            try {
                node = std::make_unique<TVobjIndexKey>(&tag_, pending.Position, nullptr);
            } catch (const std::exception& e) {
                Problem(At(pending.Position) + ": " + e.what());
                return;
            }
            if (node->NodeKind == 0) {
                Problem(At(pending.Position) + " cannot be read");
                return;
            }
            ++NodeCount;
            const int32_t kind = node->IsLeaf() ? 1 : 0;
            if (levelKind == -1)
                levelKind = kind;
            else if (kind != levelKind)
                Problem(At(pending.Position) + " is a " + (kind ? "leaf" : "branch") + " among " +
                        (levelKind ? "leaves" : "branches"));
            if (node->Count() == 0 && (depth > 0 || !node->IsLeaf()))
                Problem(At(pending.Position) + " has no keys");

            const int32_t left = i == 0 ? -1 : level[i - 1].Position;
            const int32_t right = i + 1 < level.size() ? level[i + 1].Position : -1;
            if (node->LeftSibling != left)
                Problem(At(pending.Position) + " has left sibling " +
                        std::to_string(node->LeftSibling) + ", expected " + std::to_string(left));
            if (node->RightSibling != right)
                Problem(At(pending.Position) + " has right sibling " +
                        std::to_string(node->RightSibling) + ", expected " + std::to_string(right));

            for (int32_t j = 0; j < node->Count(); ++j) {
                const TVobjIndexKeyData& entry = *node->At(j);
                if (previous) {
                    const int32_t c = tag_.CompareKeys(*previous, entry, -1);
                    if (c > 0 ||
                        (c == 0 && ordered && previous->RecordNumber >= entry.RecordNumber)) {
                        Problem(At(pending.Position) + ": entry " + std::to_string(j) +
                                " (record " + std::to_string(entry.RecordNumber) +
                                ") is out of order");
                    }
                }
                previous = std::make_unique<TVobjIndexKeyData>(entry);
                if (node->IsLeaf()) {
                    ++KeyCount;
                    leafKeys_.emplace_back(entry.Reference, entry);
                } else {
                    next.push_back({entry.Reference, true, entry});
                }
            }
            if (pending.HasParent && node->Count() > 0) {
                const TVobjIndexKeyData& last = *node->At(node->Count() - 1);
                if (tag_.CompareKeys(pending.ParentEntry, last, -1) != 0 ||
                    pending.ParentEntry.RecordNumber != last.RecordNumber)
                    Problem("the parent key of " + At(pending.Position) +
                            " is not its highest key");
            }
        }
        level = std::move(next);
    }

    std::vector<int32_t> records;
    records.reserve(leafKeys_.size());
    for (const auto& [record, key] : leafKeys_)
        records.push_back(record);
    std::sort(records.begin(), records.end());
    for (size_t i = 1; i < records.size(); ++i)
        if (records[i] == records[i - 1])
            Problem("record " + std::to_string(records[i]) + " is listed more than once");
}

void TVobjIndexCheck::CheckAgainstTable() {
    TVO_dBaseFld* table = tag_.IndexFile->Table;
    if (table == nullptr || !tag_.KeyHandler) return;
    std::unordered_map<int32_t, const TVobjIndexKeyData*> held;
    for (const auto& [record, key] : leafKeys_)
        held.emplace(record, &key);

    const bool withFor = tag_.HasFor && tag_.ForExpression && !tag_.ForExpression->empty();
    const int32_t kept = table->RecNo;
    for (int32_t record = 1; record <= table->RecordCount; ++record) {
        table->GoToRecord(record);
        const bool passes = !withFor || tag_.EvaluateFor();
        TVobjIndexKeyData key(256);
        tag_.BuildKey(key, record);
        const auto found = held.find(record);
        if (!passes) {
            if (found != held.end())
                Problem("record " + std::to_string(record) +
                        " is held but fails the FOR condition");
            continue;
        }
        if (found == held.end()) {
            if (!tag_.Unique) Problem("record " + std::to_string(record) + " is missing");
        } else if (tag_.CompareKeys(key, *found->second, -1) != 0) {
            Problem("record " + std::to_string(record) + " is held under another key");
        }
    }
    if (tag_.Unique) {
        std::set<std::string> heldKeys;
        for (const auto& [record, key] : leafKeys_)
            if (!heldKeys.insert(Bytes(key)).second)
                Problem("a key of the unique tag is held twice (record " + std::to_string(record) +
                        ")");
    }
    if (kept >= 1 && kept <= table->RecordCount) table->GoToRecord(kept);
}

} // namespace tarnis
