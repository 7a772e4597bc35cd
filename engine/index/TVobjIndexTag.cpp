// Tags (TVobjIndexTag, declared in tv6_indx.h): keys of records, navigation, seek,
// ranges, the cached path and the maintenance of a tag when a record is written.
#include "engine/index/tv6_indx.h"

#include "engine/expr/tv6_sql.h"
#include "engine/table/TVO_dBaseFld.h"
#include "engine/table/TtvDBFExpUserLink.h"

#include <utility>

namespace tarnis {

namespace {

// While alive, the table's record image is its saved copy: the record as it was
// before the write being indexed.
class SavedImage {
public:
    explicit SavedImage(TVO_dBaseFld* table) : table_(table) {
        if (table_ != nullptr && table_->SavedRecord) {
            current_ = table_->CurrentRecord;
            table_->CurrentRecord = table_->SavedRecord.get();
        }
    }
    ~SavedImage() {
        if (current_ != nullptr) table_->CurrentRecord = current_;
    }
    SavedImage(const SavedImage&) = delete;
    SavedImage& operator=(const SavedImage&) = delete;

private:
    TVO_dBaseFld* table_;
    uint8_t* current_ = nullptr;
};

} // namespace

TVobjIndexTag::TVobjIndexTag(TVobjIndexFile* File, std::string Name, int32_t Header)
    : TagName(std::move(Name)), IndexFile(File), HeaderPosition(Header) {
}

TVobjIndexTag::~TVobjIndexTag() {
    try {
        ReleaseNodes();
    } catch (...) {
        // A destructor cannot report; the format's own destructor has normally
        // written everything already.
    }
}

// ---------------------------------------------------------------------------
// Virtual operations
// ---------------------------------------------------------------------------

void TVobjIndexTag::ConvertKey(TVobjIndexKeyData&) {
}

bool TVobjIndexTag::DefineTag(const std::string&, const std::string& KeyExpr,
                              const std::string& ForExpr, bool IsAscending, bool IsUnique) {
    KeyExpression = KeyExpr;
    ForExpression = ForExpr;
    Ascending = IsAscending;
    Unique = IsUnique;
    HasFor = !ForExpr.empty();
    CompileKeyExpression();
    CompileForExpression();
    return false;
}

int32_t TVobjIndexTag::ReadRootPosition() {
    return RootPosition;
}

bool TVobjIndexTag::ReadNode(int32_t, TVobjIndexKey&) {
    return false;
}

bool TVobjIndexTag::WriteNode(int32_t, TVobjIndexKey&) {
    return false;
}

bool TVobjIndexTag::ReadHeader() {
    HeaderChanged = false;
    return false;
}

bool TVobjIndexTag::WriteHeader() {
    HeaderChanged = false;
    return false;
}

void TVobjIndexTag::CompileKeyExpression() {
    KeyHandler.reset();
    TVO_dBaseFld* table = IndexFile->Table;
    if (table == nullptr || !KeyExpression || KeyExpression->empty()) return;
    KeyHandler = std::make_unique<TtvExpHandler>(table->Link.get(), false, *KeyExpression);
}

void TVobjIndexTag::CompileForExpression() {
    ForHandler.reset();
    TVO_dBaseFld* table = IndexFile->Table;
    if (table == nullptr || !ForExpression || ForExpression->empty()) return;
    ForHandler = std::make_unique<TtvExpHandler>(table->Link.get(), false, *ForExpression);
}

bool TVobjIndexTag::EvaluateKey(TVobjIndexKeyData& Key, bool& Flag) {
    Flag = true;
    if (!KeyHandler) return false;
    // A result the key cannot hold (no tree, an unsupported type) is an empty text.
    if (KeyHandler->EvaluateVariant(Key) == nullptr) Key.SetString("");
    return true;
}

bool TVobjIndexTag::EvaluateFor() {
    if (!ForHandler) return false;
    TtvVariant result;
    return ForHandler->EvaluateVariant(result) != nullptr && result.Kind == vkLogical &&
           result.AsBoolean();
}

// ---------------------------------------------------------------------------
// Keys
// ---------------------------------------------------------------------------

const uint8_t* TVobjIndexTag::CollationTable() const {
    return IndexFile->Table != nullptr ? IndexFile->Table->CollationTable : nullptr;
}

int32_t TVobjIndexTag::CompareKeys(const TtvVariant& A, const TtvVariant& B, int32_t Prefix) const {
    int32_t diff = 0;
    const int32_t result = A.Compare(&B, diff, CollationTable(), Prefix);
    return ReverseCompare ? -result : result;
}

bool TVobjIndexTag::BuildKey(TVobjIndexKeyData& Key, int32_t Record) {
    bool flag = false;
    if (!EvaluateKey(Key, flag)) return false;
    ConvertKey(Key);
    Key.RecordNumber = Record;
    Key.Reference = Record;
    return true;
}

std::string TVobjIndexTag::KeyExpressionText() const {
    return KeyHandler ? KeyHandler->ExpressionText() : std::string();
}

// ---------------------------------------------------------------------------
// The cached path
// ---------------------------------------------------------------------------

void TVobjIndexTag::ReleaseNodes() {
    if (RootNode) {
        std::unique_ptr<TVobjIndexKey> root = std::move(RootNode);
        root->Release();
    }
    if (HeaderChanged) WriteHeader();
}

void TVobjIndexTag::ResetNodes(int32_t Mode) {
    ReleaseNodes();
    if (RootPosition > 0) {
        RootNode = std::make_unique<TVobjIndexKey>(this, RootPosition, nullptr);
        if (RootNode->NodeKind == 0) {
            RootNode.reset();
        } else if (!RootNode->IsLeaf() && RootNode->Count() == 0) {
            // A root branch whose children were all removed holds no key: it is an
            // empty root leaf, and is written as one when a key goes into it.
            RootNode->NodeKind = 3;
        }
    }
    if (Mode == 2 || !RootNode) return;
    TVO_dBaseFld* table = IndexFile->Table;
    if (Mode == 1 && KeyExpression && !KeyExpression->empty() && table != nullptr &&
        table->RecNo >= 1 && table->RecNo <= table->RecordCount && RootNode->Count() > 0) {
        TVobjIndexKeyData key(256);
        if (BuildKey(key, table->RecNo)) {
            if (RootNode->Search(table->RecNo, key, -1) == 0) {
                RootNode->GetCurrent(CurrentKey);
                Move(MoveSame);
                if (CurrentKey.Reference == 0) Move(MoveTop);
            } else {
                Move(MoveTop);
            }
            return;
        }
    }
    Move(MoveTop);
}

bool TVobjIndexTag::PathChanged() const {
    for (const TVobjIndexKey* node = RootNode.get(); node != nullptr; node = node->Child.get())
        if (node->Changed) return true;
    return false;
}

void TVobjIndexTag::GrowRoot(TVobjIndexKey& Node) {
    auto root = std::make_unique<TVobjIndexKey>(this, 0, nullptr);
    root->NodePosition = IndexFile->AllocateNode();
    root->NodeKind = 1;
    auto entry = Node.Count() > 0 ? std::make_unique<TVobjIndexKeyData>(*Node.At(Node.Count() - 1))
                                  : std::make_unique<TVobjIndexKeyData>();
    entry->Reference = Node.NodePosition;
    root->Entries.push_back(std::move(entry));
    root->Changed = true;
    Node.Parent = root.get();
    Node.OwnedParent = std::move(root);
    Node.OwnsParent = true;
    // The new root stays with the node that split until that node has written it;
    // the tag's path is being released at that moment.
    RootPosition = Node.Parent->NodePosition;
    HeaderChanged = true;
}

// ---------------------------------------------------------------------------
// Navigation
// ---------------------------------------------------------------------------

void TVobjIndexTag::PostCheck() {
    if (RangeEmpty) {
        AtBof = true;
        AtEof = true;
        return;
    }
    if ((RangeLow.IsEmpty() && RangeHigh.IsEmpty()) || AtBof || AtEof) return;
    int32_t r = 0;
    if (!RangeHigh.IsEmpty()) {
        r = CompareKeys(RangeHigh, CurrentKey, 0);
        AtEof = r == -1;
    }
    if (r >= 0 && !RangeLow.IsEmpty()) AtBof = CompareKeys(RangeLow, CurrentKey, 0) == 1;
}

int32_t TVobjIndexTag::Move(int32_t Code) {
    CurrentKey.Reference = 0;
    if (!RootNode) return 0;
    if (RangeEmpty) {
        AtBof = true;
        AtEof = true;
        return 0;
    }
    if (Descending) {
        switch (Code) {
        case MoveTop:
            Code = MoveBottom;
            break;
        case MoveBottom:
            Code = MoveTop;
            break;
        case MoveNext:
            Code = MovePrior;
            break;
        case MovePrior:
            Code = MoveNext;
            break;
        default:
            break;
        }
    }
    AtBof = false;
    AtEof = false;
    switch (Code) {
    case MoveSame:
        AtEof = AtBof = !RootNode->Reread();
        PostCheck();
        break;
    case MoveBottom:
        ResetNodes(2);
        if (!RootNode) {
            AtEof = true;
        } else if (RangeHigh.IsEmpty() || Updating) {
            AtEof = !RootNode->GoLast();
        } else {
            switch (RootNode->Search(AfterEqualKeys, RangeHigh, 1)) {
            case -1:
                AtBof = !RootNode->GoPrior();
                break;
            case 0:
                RootNode->GetCurrent(CurrentKey);
                break;
            default:
                AtEof = !RootNode->GoLast();
                break;
            }
        }
        PostCheck();
        if (AtBof) AtEof = true;
        AtBof = AtEof;
        break;
    case MoveTop:
        ResetNodes(2);
        if (!RootNode) {
            AtBof = true;
        } else if (RangeLow.IsEmpty() || Updating) {
            AtBof = !RootNode->GoFirst();
        } else {
            AtEof = RootNode->Search(-1, RangeLow, 0) == 1;
            if (!AtEof) RootNode->GetCurrent(CurrentKey);
        }
        PostCheck();
        if (AtEof) AtBof = true;
        AtEof = AtBof;
        break;
    case MovePrior:
        AtBof = !RootNode->GoPrior();
        PostCheck();
        break;
    case MoveNext:
        AtEof = !RootNode->GoNext();
        PostCheck();
        break;
    default:
        return 0;
    }
    if (AtEof || AtBof) {
        CurrentKey.Reference = 0;
        if (Descending) std::swap(AtBof, AtEof);
    }
    return CurrentKey.Reference;
}

int32_t TVobjIndexTag::RangeCheck() {
    if (RangeEmpty) return 1;
    if (RangeLow.IsEmpty() && RangeHigh.IsEmpty()) return 0;
    if (AtEof) return 1;
    if (AtBof) return -1;
    int32_t r = RangeHigh.IsEmpty() ? 0 : CompareKeys(RangeHigh, CurrentKey, 0);
    if (HighInclusive && r == 0) r = 1;
    if (r <= 0) return r;
    // An absent low bound lies below every key.
    int32_t s = RangeLow.IsEmpty() ? -1 : CompareKeys(RangeLow, CurrentKey, 0);
    if (LowInclusive && s == 0) s = -1;
    return s + 1;
}

int32_t TVobjIndexTag::SetRange(const TtvVariant* Low, bool LowIncl, const TtvVariant* High,
                                bool HighIncl) {
    RangeLow.Clear();
    RangeHigh.Clear();
    RangeEmpty = false;
    LowInclusive = LowIncl;
    HighInclusive = HighIncl;
    if (Low != nullptr && !Low->IsEmpty()) {
        RangeLow.Assign(Low);
        ConvertKey(RangeLow);
    }
    if (High != nullptr && !High->IsEmpty()) {
        RangeHigh.Assign(High);
        ConvertKey(RangeHigh);
    }
    // A tag without a path yet gets one, so the move below has a tree to move in.
    if (!RootNode) ResetNodes(2);
    return Move(MoveTop);
}

int32_t TVobjIndexTag::Seek(const TVobjIndexKeyData& Key) {
    if (IndexFile->Table != nullptr) IndexFile->ExactMatch = IndexFile->Table->ExactMatch;
    CurrentKey.Reference = 0;
    ResetNodes(0);
    if (!RootNode) return 0;
    TVobjIndexKeyData key(Key);
    ConvertKey(key);
    AtBof = false;
    AtEof = false;
    const int32_t prefix = IndexFile->ExactMatch || Updating ? -1 : 0;
    switch (RootNode->Search(key.Reference, key, prefix)) {
    case -1:
        RootNode->GetCurrent(CurrentKey);
        if (RangeCheck() == -1) AtEof = true;
        return 0;
    case 0:
        RootNode->GetCurrent(CurrentKey);
        if (Updating || RangeCheck() == 0) return CurrentKey.Reference;
        AtEof = true;
        return 0;
    default:
        AtEof = true;
        return 0;
    }
}

int32_t TVobjIndexTag::KeyLookup(const TVobjIndexKeyData& Key) {
    IndexFile->ExactMatch = true;
    const TVobjIndexKeyData keptKey(CurrentKey);
    const bool keptBof = AtBof;
    const bool keptEof = AtEof;
    int32_t found = 0;
    if (PathChanged()) {
        // Unwritten changes: write them so that the lookup sees them, then stand on
        // the same key again.
        ReleaseNodes();
        found = Seek(Key);
        ResetNodes(2);
        if (RootNode && keptKey.Reference != 0) RootNode->Search(keptKey.Reference, keptKey, -1);
    } else {
        std::unique_ptr<TVobjIndexKey> kept = std::move(RootNode);
        try {
            found = Seek(Key);
            ReleaseNodes();
        } catch (...) {
            RootNode.reset();
            RootNode = std::move(kept);
            CurrentKey.AssignKey(keptKey);
            throw;
        }
        RootNode = std::move(kept);
    }
    CurrentKey.AssignKey(keptKey);
    AtBof = keptBof;
    AtEof = keptEof;
    return found;
}

int32_t TVobjIndexTag::SyncToRecord(int32_t Record) {
    if (CurrentKey.Reference != Record) ResetNodes(1);
    return CurrentKey.Reference;
}

// ---------------------------------------------------------------------------
// Maintenance
// ---------------------------------------------------------------------------

bool TVobjIndexTag::GoPhysicalLast() {
    ResetNodes(2);
    return RootNode && RootNode->GoLast();
}

bool TVobjIndexTag::AddKey(const TVobjIndexKeyData& Key) {
    if (!Updating) ResetNodes(0);
    if (!RootNode) return false;
    TVobjIndexKeyData key(Key);
    ConvertKey(key);
    AtBof = false;
    AtEof = false;
    const bool ordered = IndexFile->RecordOrdered;
    int32_t order = ordered ? key.Reference : (ReverseCompare ? 0 : AfterEqualKeys);
    if (Unique) {
        const int32_t equal = RootNode->Search(-1, key, -1);
        order = key.Reference;
        if (equal == 0) return false;
    }
    const int32_t found = RootNode->Search(order, key, -1);
    if (found == 0 && ordered && order != AfterEqualKeys) {
        // The (key, record) pair is already there: a second copy would list the
        // record twice.
        RootNode->GetCurrent(CurrentKey);
        return true;
    }
    if (found <= 0) {
        if (!RootNode->Deepest()->IsLeaf()) return false;
        RootNode->InsertEntry(key, false);
        if (!Updating) ResetNodes(0);
        if (!RootNode) return true;
        RootNode->Search(order, key, -1);
        if (order == AfterEqualKeys) RootNode->GoPrior();
        const uint8_t flags = RootNode->GetCurrent(CurrentKey);
        AtBof = (flags & KeyAtFirst) != 0;
        AtEof = (flags & KeyAtLast) != 0;
        if (Descending) std::swap(AtBof, AtEof);
    } else {
        GoPhysicalLast();
        if (!RootNode || !RootNode->Deepest()->IsLeaf()) return false;
        RootNode->InsertEntry(key, true);
        if (!Updating) ResetNodes(0);
        GoPhysicalLast();
        if (Descending)
            AtBof = true;
        else
            AtEof = true;
    }
    return true;
}

bool TVobjIndexTag::UpdateKey(int32_t Record, bool Appended) {
    struct UpdatingScope {
        TVobjIndexTag& tag;
        ~UpdatingScope() { tag.Updating = false; }
    } scope{*this};
    Updating = true;
    KeyUpdated = false;

    const bool withFor = HasFor && ForExpression && !ForExpression->empty();
    bool newPasses = withFor ? EvaluateFor() : true;
    TVobjIndexKeyData key(256);
    bool flag = false;
    // A tag without a key expression has no key to maintain.
    if (!EvaluateKey(key, flag)) return false;
    key.RecordNumber = Record;
    key.Reference = Record;
    const bool hadPath = RootNode != nullptr;

    if (Appended) {
        if (newPasses) {
            ResetNodes(2);
            AddKey(key);
            KeyUpdated = true;
            if (!hadPath) ReleaseNodes();
        }
        return KeyUpdated;
    }

    TVobjIndexKeyData old(key);
    bool oldFound = false;
    {
        SavedImage saved(IndexFile->Table);
        EvaluateKey(old, flag);
        old.RecordNumber = Record;
        old.Reference = Record;
        oldFound = Seek(old) != 0;
    }
    if (CompareKeys(key, old, -1) != 0 || (withFor && !newPasses)) {
        if (oldFound && RootNode) RootNode->DeleteEntry();
    } else {
        newPasses = !oldFound;
    }
    if (newPasses) AddKey(key);
    KeyUpdated = true;
    if (!hadPath) ReleaseNodes();
    return KeyUpdated;
}

} // namespace tarnis
