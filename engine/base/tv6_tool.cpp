#include "engine/base/tv6_tool.h"

#include "engine/base/tv6_Date.h"
#include "engine/base/tv6_eror.h"
#include "platform/code_page.h"
#include "platform/file_names.h"
#include "platform/format_settings.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tarnis {

// ---------------------------------------------------------------------------
// TtvVariant
// ---------------------------------------------------------------------------

TtvVariant::TtvVariant(uint16_t InitialCapacity) {
    if (InitialCapacity != 0) {
        Data = std::make_unique<uint8_t[]>(InitialCapacity);
        Capacity = InitialCapacity;
    }
}

TtvVariant& TtvVariant::operator=(const TtvVariant& Other) {
    if (this != &Other) Assign(&Other);
    return *this;
}

void TtvVariant::Clear() {
    Data.reset();
    Capacity = 0;
    Size = 0;
    Kind = vkNone;
}

void TtvVariant::SetSize(int32_t n) {
    n = std::max(n, 0);
    std::unique_ptr<uint8_t[]> old;
    int32_t oldCapacity = 0;
    if (n > Capacity) {
        old = std::move(Data);
        oldCapacity = Capacity;
        Clear();
    }
    Size = n;
    if (!Data) {
        Data = std::make_unique<uint8_t[]>(static_cast<size_t>(std::max(n, 1)));
        Capacity = n;
    }
    if (old && oldCapacity > 0)
        std::memcpy(Data.get(), old.get(), static_cast<size_t>(oldCapacity));
}

bool TtvVariant::Assign(const TtvVariant* Other) {
    Clear();
    if (Other == nullptr) return false;
    if (Other->Data && Other->Capacity > 0) {
        Data = std::make_unique<uint8_t[]>(static_cast<size_t>(Other->Capacity));
        std::memcpy(Data.get(), Other->Data.get(), static_cast<size_t>(Other->Capacity));
    }
    Capacity = Data ? Other->Capacity : 0;
    Size = Other->Size;
    Kind = Other->Kind;
    return true;
}

void TtvVariant::SetText(const char* Text) {
    SetString(Text ? std::string_view(Text) : std::string_view());
}

void TtvVariant::SetString(std::string_view Text) {
    SetSize(static_cast<int32_t>(Text.size()));
    if (!Text.empty()) std::memcpy(Data.get(), Text.data(), Text.size());
    Kind = vkText;
}

void TtvVariant::SetNumber(double Value) {
    SetSize(8);
    std::memcpy(Data.get(), &Value, 8);
    Kind = vkNumber;
}

void TtvVariant::SetDate(int32_t Jdn) {
    SetSize(4);
    std::memcpy(Data.get(), &Jdn, 4);
    Kind = vkDate;
}

void TtvVariant::SetBoolean(uint8_t Value) {
    SetSize(1);
    Data[0] = Value;
    Kind = vkLogical;
}

void TtvVariant::SetBytes(const void* Bytes, int32_t Count) {
    SetSize(Count);
    if (Bytes && Count > 0) std::memcpy(Data.get(), Bytes, static_cast<size_t>(Count));
    Kind = vkRaw;
}

void TtvVariant::AppendBytes(const void* Bytes, int32_t Count) {
    if (Bytes == nullptr || Count <= 0) return;
    Kind = vkRaw;
    const int32_t old = IsEmpty() ? 0 : Size;
    SetSize(old + Count);
    std::memcpy(Data.get() + old, Bytes, static_cast<size_t>(Count));
    Kind = vkRaw;
}

void* TtvVariant::CopyBytesTo(void* Destination, int32_t Count) const {
    if (IsEmpty()) return nullptr;
    const int32_t n = std::min(Count, Size);
    if (n > 0) std::memcpy(Destination, Data.get(), static_cast<size_t>(n));
    return Destination;
}

namespace {

// Numbers and dates read from the buffer only when it holds enough bytes; a value
// that is too short reads as zero rather than past its end.
double ReadDouble(const TtvVariant& v) {
    double d = 0;
    if (v.Size >= 8) std::memcpy(&d, v.Data.get(), 8);
    return d;
}

int32_t ReadInt32(const TtvVariant& v) {
    int32_t n = 0;
    if (v.Size >= 4) std::memcpy(&n, v.Data.get(), 4);
    return n;
}

} // namespace

bool TtvVariant::AsBoolean() const {
    if (IsEmpty()) return false;
    switch (Kind) {
    case vkText:
        return TrueLetters.find(static_cast<char>(Data[0])) != std::string_view::npos;
    case vkNumber:
        return std::trunc(ReadDouble(*this)) != 0;
    case vkLogical:
    case vkRaw:
        return Data[0] != 0;
    default:
        return false;
    }
}

double TtvVariant::AsNumber() const {
    if (IsEmpty()) return 0;
    switch (Kind) {
    case vkText:
        return StrToFloat(TextView());
    case vkNumber:
    case vkRaw:
        return ReadDouble(*this);
    case vkDate:
        return AsDate();
    case vkLogical:
        return AsBoolean() ? 1 : 0;
    default:
        return 0;
    }
}

int32_t TtvVariant::AsDate() const {
    if (IsEmpty()) return 0;
    switch (Kind) {
    case vkText:
        return EngineDates.ParseDate(TextView());
    case vkNumber: {
        const double t = std::trunc(ReadDouble(*this));
        if (!(t > 0) || t > 2147483647.0) return 0;
        return EngineDates.ParseDate(EngineDates.FormatStored(static_cast<int32_t>(t)));
    }
    case vkDate:
    case vkRaw:
        return ReadInt32(*this);
    default:
        return 0;
    }
}

std::string TtvVariant::AsString() const {
    if (IsEmpty()) return {};
    switch (Kind) {
    case vkText:
    case vkRaw:
        return std::string(TextView());
    case vkNumber:
        return FloatToStr(AsNumber());
    case vkDate:
        return EngineDates.FormatDisplay(AsDate());
    case vkLogical:
        return std::string(1, AsBoolean() ? TrueLetters[0] : FalseLetters[0]);
    default:
        return {};
    }
}

char* TtvVariant::AsText(char* Destination) const {
    const std::string s = AsString();
    std::memcpy(Destination, s.c_str(), s.size() + 1);
    return Destination;
}

void TtvVariant::Translate(const uint8_t* Table) {
    if (Kind != vkText || IsEmpty()) return;
    if (Table == nullptr) {
        AnsiUpperBuff(reinterpret_cast<char*>(Data.get()), static_cast<size_t>(Size));
        return;
    }
    for (int32_t i = 0; i < Size; ++i)
        Data[i] = Table[Data[i]];
}

void TtvVariant::PadRight(int32_t n) {
    if (Kind != vkText || n <= Size) return;
    const int32_t old = Size;
    SetSize(n);
    std::memset(Data.get() + old, ' ', static_cast<size_t>(n - old));
    Kind = vkText;
}

void TtvVariant::TrimRight() {
    if (Kind != vkText) return;
    while (Size > 0 && Data[Size - 1] == ' ')
        --Size;
}

int32_t TtvVariant::Compare(const TtvVariant* Other, int32_t& DiffPos, const uint8_t* Collation,
                            int32_t PrefixResult) const {
    if (Other == nullptr) {
        DiffPos = 0;
        return 1;
    }
    uint8_t kind = vkNone;
    if (Kind == Other->Kind)
        kind = Kind;
    else if (Kind == vkRaw)
        kind = Other->Kind;
    else if (Other->Kind == vkRaw)
        kind = Kind;
    if (kind == vkNone) throw ETarnisError("Variant types mismatch for compare");

    DiffPos = 0;
    const bool selfEmpty = IsEmpty();
    const bool otherEmpty = Other->IsEmpty();
    if (selfEmpty || otherEmpty) return selfEmpty == otherEmpty ? 0 : (selfEmpty ? -1 : 1);

    const auto sign = [](auto d) -> int32_t { return d < 0 ? -1 : (d > 0 ? 1 : 0); };
    switch (kind) {
    case vkText:
    case vkRaw: {
        const uint8_t* table = kind == vkText ? Collation : nullptr;
        const int32_t m = std::min(Size, Other->Size);
        const uint8_t* a = Data.get();
        const uint8_t* b = Other->Data.get();
        int32_t d = 0;
        int32_t i = 0;
        if (table) {
            while (i < m && (d = table[a[i]] - table[b[i]]) == 0)
                ++i;
        } else {
            while (i < m && (d = a[i] - b[i]) == 0)
                ++i;
        }
        if (i < m) {
            DiffPos = i + 1;
        } else {
            DiffPos = m + 1;
            d = Size - Other->Size;
        }
        if (kind == vkText && d < 0 && DiffPos > Size) return sign(PrefixResult);
        return sign(d);
    }
    case vkNumber: {
        const double a = ReadDouble(*this), b = ReadDouble(*Other);
        return a < b ? -1 : (a > b ? 1 : 0);
    }
    case vkDate:
        return sign(static_cast<int64_t>(ReadInt32(*this)) - ReadInt32(*Other));
    case vkLogical:
        if (Data[0] == Other->Data[0]) return 0;
        return Data[0] != 0 ? 1 : -1;
    default:
        return 0;
    }
}

// ---------------------------------------------------------------------------
// TtvCollection
// ---------------------------------------------------------------------------

TtvCollection::~TtvCollection() {
    FreeAll();
}

int32_t TtvCollection::IndexOf(const TtvObject* Item) const {
    const auto it = std::find(Items.begin(), Items.end(), Item);
    return it == Items.end() ? -1 : static_cast<int32_t>(it - Items.begin());
}

void TtvCollection::Delete(int32_t Index) {
    Items.erase(Items.begin() + Index);
}

void TtvCollection::FreeItem(TtvObject* Item) {
    delete Item;
}

void TtvCollection::FreeOne(TtvObject* Item) {
    const int32_t index = IndexOf(Item);
    if (index >= 0) Delete(index);
    FreeItem(Item);
}

void TtvCollection::FreeAll() {
    for (TtvObject* item : Items)
        FreeItem(item);
    Items.clear();
}

// ---------------------------------------------------------------------------
// TtvHugeSet
// ---------------------------------------------------------------------------

void TtvHugeSet::ClearAll() {
    for (auto& block : Blocks)
        std::memset(block.get(), 0, BlockBytes);
    HighIndex = -1;
}

void TtvHugeSet::Change(int32_t Index, int32_t Op) {
    const uint32_t index = static_cast<uint32_t>(Index);
    while (index / BlockBits >= Blocks.size())
        Blocks.push_back(std::make_unique<uint8_t[]>(BlockBytes));
    uint8_t& byte = Blocks[index / BlockBits][(index / 8) % BlockBytes];
    const uint8_t mask = static_cast<uint8_t>(1u << (index % 8));
    switch (Op) {
    case 0:
        byte &= static_cast<uint8_t>(~mask);
        break;
    case 1:
        byte |= mask;
        break;
    case 2:
        byte ^= mask;
        break;
    default:
        break;
    }
    if (Index > HighIndex) HighIndex = Index;
}

bool TtvHugeSet::Contains(int32_t Index) const {
    if (Index > HighIndex || Index < 0) return false;
    const uint32_t index = static_cast<uint32_t>(Index);
    return (Blocks[index / BlockBits][(index / 8) % BlockBytes] & (1u << (index % 8))) != 0;
}

// ---------------------------------------------------------------------------
// Names and zero-terminated strings
// ---------------------------------------------------------------------------

std::string DefaultExtension(const std::string& FileName, const std::string& Extension) {
    if (!ExtractFileExt(FileName).empty()) return FileName;
    return ChangeFileExt(FileName, Extension);
}

std::string BareFileName(const std::string& FileName) {
    std::string name = ExtractFileName(FileName);
    const std::string ext = ExtractFileExt(name);
    name.resize(name.size() - ext.size());
    return name;
}

void PadZ(char* Text, char C, size_t N) {
    size_t length = std::strlen(Text);
    while (length < N)
        Text[length++] = C;
    Text[length] = '\0';
}

void TrimZ(char* Text) {
    size_t length = std::strlen(Text);
    while (length > 0 && Text[length - 1] == ' ')
        --length;
    Text[length] = '\0';
}

void UpperZ(char* Buffer, size_t Length) {
    AnsiUpperBuff(Buffer, Length);
}

int CompareZ(const char* A, const char* B) {
    return std::strcmp(A, B);
}

int CompareTextZ(const char* A, const char* B) {
    return AnsiCompareText(A, B);
}

} // namespace tarnis
