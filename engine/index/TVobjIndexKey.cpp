// Nodes of a tag's tree in memory (TVobjIndexKey, declared in tv6_indx.h): loading,
// storing, searching, moving along the cached path and changing entries.
#include "engine/index/tv6_indx.h"

#include <algorithm>

namespace tarnis {

TVobjIndexKey::TVobjIndexKey(TVobjIndexTag* Tag, int32_t Position, TVobjIndexKey* ParentNode)
    : NodePosition(Position), Parent(ParentNode), Owner(Tag) {
    if (Position > 0) Load();
}

TVobjIndexKey::~TVobjIndexKey() {
    if (Released) return;
    try {
        Release();
    } catch (...) {
        // Destruction after an error: what could not be written stays unwritten.
    }
}

TVobjIndexKey* TVobjIndexKey::Deepest() {
    TVobjIndexKey* node = this;
    while (node->Child && !node->IsLeaf())
        node = node->Child.get();
    return node;
}

int32_t TVobjIndexKey::Depth() const {
    int32_t depth = 0;
    for (const TVobjIndexKey* node = Parent; node != nullptr; node = node->Parent)
        ++depth;
    return depth;
}

bool TVobjIndexKey::OnPathAbove(int32_t Position) const {
    for (const TVobjIndexKey* node = this; node != nullptr; node = node->Parent)
        if (node->NodePosition == Position) return true;
    return false;
}

void TVobjIndexKey::Release() {
    if (Released) return;
    Released = true;
    if (Child) {
        Child->Release();
        Child.reset();
    }
    if (Changed) {
        Changed = false;
        Store();
    }
    if (OwnsParent && OwnedParent) {
        // The root made while this node split: written now, after this node.
        OwnedParent->Release();
        OwnedParent.reset();
        OwnsParent = false;
        Parent = nullptr;
    }
}

void TVobjIndexKey::Load() {
    Entries.clear();
    NodeKind = 0;
    if (!Owner->ReadNode(NodePosition, *this)) {
        // A node that could not be read holds nothing and is never written.
        Entries.clear();
        NodeKind = 0;
    }
    Changed = false;
}

void TVobjIndexKey::Store() {
    if (NodePosition <= 0) NodePosition = Owner->IndexFile->AllocateNode();
    if (NodePosition <= 0) return;
    Owner->WriteNode(NodePosition, *this);
    Changed = false;
}

int32_t TVobjIndexKey::Search(int32_t Record, const TVobjIndexKeyData& Key, int32_t Prefix) {
    int32_t result = 1;
    CurrentEntry = 0;
    if (Count() == 0) return 1;
    const bool ordered = Owner->IndexFile->RecordOrdered;
    const auto byRecord = [](int32_t a, int32_t b) { return a > b ? 1 : (a < b ? -1 : 0); };
    while (result > 0 && CurrentEntry < Count()) {
        const TVobjIndexKeyData& entry = *At(CurrentEntry);
        result = Owner->CompareKeys(Key, entry, Prefix);
        if (result == 0 && Record == AfterEqualKeys) result = 1;
        if (result == 0 && Record != -1 && ordered) result = byRecord(Record, entry.RecordNumber);
        if (result <= 0 || CurrentEntry == Count() - 1) {
            if (!IsLeaf()) {
                if (!DescendTo(entry.Reference)) {
                    // A child that cannot be followed: the key counts as not found.
                    CurrentEntry = Count();
                    return 1;
                }
                result = Child->Search(Record, Key, Prefix);
            } else if (result == 0 && Record != -1) {
                if (ordered)
                    result = byRecord(Record, entry.Reference);
                else if (Record != entry.Reference)
                    result = 1;
            }
        }
        if (result > 0) ++CurrentEntry;
    }
    return result;
}

bool TVobjIndexKey::DescendTo(int32_t Position) {
    if (IsLeaf()) return false;
    if (Child && (Child->NodePosition != Position || Child->WasSplit)) {
        Child->Release();
        Child.reset();
        // A split of the released child put its new left part into this node, before
        // the old child's entry: find the entry being descended to again.
        if (CurrentEntry < 0 || CurrentEntry >= Count() ||
            At(CurrentEntry)->Reference != Position) {
            const int32_t index = FindEntryFor(Position);
            if (index >= 0) CurrentEntry = index;
        }
    }
    if (!Child) {
        const int32_t nextFree = Owner->IndexFile->NextFree;
        if (Position <= 0 || (nextFree >= 1 && Position > nextFree) || OnPathAbove(Position) ||
            Depth() + 1 >= MaxTreeDepth) {
            Owner->IndexFile->ReportDamage();
            return false;
        }
        Child = std::make_unique<TVobjIndexKey>(Owner, Position, this);
        if (Child->NodeKind == 0) {
            Child.reset();
            return false;
        }
    }
    return true;
}

void TVobjIndexKey::CopyCurrentToTag() {
    const TVobjIndexKeyData& entry = *At(CurrentEntry);
    Owner->CurrentKey.Assign(&entry);
    Owner->CurrentKey.RecordNumber = entry.RecordNumber;
    Owner->CurrentKey.Reference = entry.Reference;
}

bool TVobjIndexKey::GoFirst() {
    CurrentEntry = 0;
    if (Count() == 0) return false;
    if (IsLeaf()) {
        CopyCurrentToTag();
        return true;
    }
    // A child without keys (left by another program) does not end the search.
    for (; CurrentEntry < Count(); ++CurrentEntry)
        if (DescendTo(At(CurrentEntry)->Reference) && Child->GoFirst()) return true;
    CurrentEntry = Count() - 1;
    return false;
}

bool TVobjIndexKey::GoLast() {
    CurrentEntry = Count() - 1;
    if (Count() == 0) return false;
    if (IsLeaf()) {
        CopyCurrentToTag();
        return true;
    }
    for (; CurrentEntry >= 0; --CurrentEntry)
        if (DescendTo(At(CurrentEntry)->Reference) && Child->GoLast()) return true;
    CurrentEntry = 0;
    return false;
}

bool TVobjIndexKey::GoNext() {
    if (IsLeaf()) {
        CurrentEntry = std::max(CurrentEntry, -1) + 1;
        if (CurrentEntry >= Count()) {
            CurrentEntry = Count();
            return false;
        }
        CopyCurrentToTag();
        return true;
    }
    // A freshly loaded child stands before its first entry, so its GoNext gives it.
    for (CurrentEntry = std::max(CurrentEntry, 0); CurrentEntry < Count(); ++CurrentEntry)
        if (DescendTo(At(CurrentEntry)->Reference) && Child->GoNext()) return true;
    CurrentEntry = Count() - 1;
    return false;
}

bool TVobjIndexKey::GoPrior() {
    if (IsLeaf()) {
        CurrentEntry = std::min(CurrentEntry, Count()) - 1;
        if (CurrentEntry < 0) {
            CurrentEntry = -1;
            return false;
        }
        CopyCurrentToTag();
        return true;
    }
    // A level standing past its last entry (after a search beyond every key) steps
    // back onto that entry.
    for (CurrentEntry = std::min(CurrentEntry, Count() - 1); CurrentEntry >= 0; --CurrentEntry) {
        const int32_t position = At(CurrentEntry)->Reference;
        const bool fresh = !Child || Child->NodePosition != position || Child->WasSplit;
        if (!DescendTo(position)) continue;
        // A freshly loaded child starts behind its last entry.
        if (fresh) Child->CurrentEntry = Child->Count();
        if (Child->GoPrior()) return true;
    }
    CurrentEntry = 0;
    return false;
}

bool TVobjIndexKey::Reread() {
    if (CurrentEntry < 0 || CurrentEntry >= Count()) return false;
    if (IsLeaf()) {
        CopyCurrentToTag();
        return true;
    }
    return DescendTo(At(CurrentEntry)->Reference) && Child->Reread();
}

uint8_t TVobjIndexKey::GetCurrent(TVobjIndexKeyData& Key) {
    bool first = true;
    bool last = true;
    TVobjIndexKey* node = this;
    for (;;) {
        first = first && node->CurrentEntry == 0;
        last = last && node->CurrentEntry == node->Count() - 1;
        node->AtFirst = first;
        node->AtLast = last;
        if (node->IsLeaf() || !node->Child) break;
        node = node->Child.get();
    }
    if (node->IsLeaf() && node->CurrentEntry >= 0 && node->CurrentEntry < node->Count()) {
        Key.AssignKey(*node->At(node->CurrentEntry));
    } else {
        Key.Clear();
        Key.RecordNumber = 0;
        Key.Reference = 0;
    }
    return static_cast<uint8_t>((first ? KeyAtFirst : 0) | (last ? KeyAtLast : 0));
}

void TVobjIndexKey::InsertEntry(const TVobjIndexKeyData& Key, bool After) {
    TVobjIndexKey* node = Deepest();
    // Keys go into leaves only; a path that stops above the leaves (damage) takes none.
    if (!node->IsLeaf()) return;
    auto entry = std::make_unique<TVobjIndexKeyData>(Key);
    if (After) ++node->CurrentEntry;
    node->CurrentEntry = std::clamp(node->CurrentEntry, 0, node->Count());
    if (node->Parent != nullptr && node->CurrentEntry == node->Count()) {
        TVobjIndexKeyData highest(Key);
        highest.Reference = node->NodePosition;
        node->ReplaceParentKey(highest);
    }
    node->Entries.insert(node->Entries.begin() + node->CurrentEntry, std::move(entry));
    node->Changed = true;
}

void TVobjIndexKey::DeleteEntry() {
    for (TVobjIndexKey* node = this; node != nullptr; node = node->Child.get())
        node->Changed = true;
    TVobjIndexKey* node = Deepest();
    if (node->CurrentEntry < 0 || node->CurrentEntry >= node->Count()) return;
    const bool wasLast = node->CurrentEntry == node->Count() - 1;
    node->Entries.erase(node->Entries.begin() + node->CurrentEntry);
    node->CurrentEntry = std::clamp(node->CurrentEntry, 0, std::max(node->Count() - 1, 0));
    if (!wasLast || node->Parent == nullptr) return;
    if (node->Count() == 0) {
        node->RemoveFromParent();
    } else {
        TVobjIndexKeyData highest(*node->At(node->Count() - 1));
        highest.Reference = node->NodePosition;
        node->ReplaceParentKey(highest);
    }
}

void TVobjIndexKey::RemoveFromParent() {
    TVobjIndexKey* parent = Parent;
    if (parent == nullptr) return;
    const int32_t index = parent->FindEntryFor(NodePosition);
    if (index < 0) return;
    const int32_t kept = parent->CurrentEntry;
    parent->CurrentEntry = index;
    // This node stays alive in `aside` while its parent deletes the entry for it.
    std::unique_ptr<TVobjIndexKey> aside;
    if (parent->Child.get() == this) aside = std::move(parent->Child);
    parent->DeleteEntry();
    if (aside) parent->Child = std::move(aside);
    parent->CurrentEntry = std::clamp(kept, 0, std::max(parent->Count() - 1, 0));
    if (parent->Parent == nullptr && parent->Count() == 0) {
        // A root branch without children is an empty tree: it becomes an empty root
        // leaf, written as such (this node, still its Child, goes with the path).
        parent->NodeKind = 3;
        parent->Changed = true;
    }
}

void TVobjIndexKey::ReplaceParentKey(const TVobjIndexKeyData& Key) {
    TVobjIndexKey* parent = Parent;
    if (parent == nullptr) return;
    auto entry = std::make_unique<TVobjIndexKeyData>(Key);
    entry->Reference = NodePosition;
    const int32_t index = parent->FindEntryFor(NodePosition);
    bool last = true;
    if (index < 0) {
        parent->Entries.push_back(std::move(entry));
    } else {
        last = index == parent->Count() - 1;
        parent->Entries[static_cast<size_t>(index)] = std::move(entry);
    }
    parent->Changed = true;
    if (last && parent->Parent != nullptr) {
        TVobjIndexKeyData highest(Key);
        highest.Reference = parent->NodePosition;
        parent->ReplaceParentKey(highest);
    }
}

void TVobjIndexKey::InsertIntoParent(const TVobjIndexKeyData& Key) {
    if (Parent == nullptr) Owner->GrowRoot(*this);
    TVobjIndexKey* parent = Parent;
    int32_t index = parent->FindEntryFor(NodePosition);
    if (index < 0) index = parent->Count();
    parent->Entries.insert(parent->Entries.begin() + index,
                           std::make_unique<TVobjIndexKeyData>(Key));
    parent->CurrentEntry = index + 1;
    parent->Changed = true;
    WasSplit = true;
}

int32_t TVobjIndexKey::FindEntryFor(int32_t Position) const {
    for (int32_t i = 0; i < Count(); ++i)
        if (At(i)->Reference == Position) return i;
    return -1;
}

} // namespace tarnis
