// Small building blocks shared by the whole engine: typed values, owning
// collections, record-number bit sets, the true/false letter sets and routines on
// file names and zero-terminated strings. All text is 8-bit ANSI (Windows-1252).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarnis {

// The root of the engine's objects that live in collections.
class TtvObject {
public:
    virtual ~TtvObject() = default;
};

// ---------------------------------------------------------------------------
// TtvVariant: one typed value in an owned byte buffer.
//
//   Kind        Data holds                                         Size
//   vkNone      nothing meaningful                                 any
//   vkText      characters, no terminator                          characters
//   vkNumber    IEEE 754 double, little-endian                     8
//   vkDate      signed 32-bit Julian day number; 0 = blank date    4
//   vkLogical   one byte, 0 = false, anything else = true          1
//   vkRaw       uninterpreted bytes                                bytes
//
// A value is empty when it has no buffer or Size is 0. The buffer never shrinks,
// so a value reused for every record of a scan allocates only while it grows.
// ---------------------------------------------------------------------------
enum TtvVariantKind : uint8_t {
    vkNone = 0,
    vkText = 1,
    vkNumber = 2,
    vkDate = 3,
    vkLogical = 4,
    vkRaw = 5
};

class TtvVariant {
public:
    std::unique_ptr<uint8_t[]> Data;
    int32_t Capacity = 0;
    int32_t Size = 0;
    uint8_t Kind = vkNone;

    explicit TtvVariant(uint16_t InitialCapacity = 0);
    TtvVariant(const TtvVariant& Other) { Assign(&Other); }
    TtvVariant& operator=(const TtvVariant& Other);
    TtvVariant(TtvVariant&&) noexcept = default;
    TtvVariant& operator=(TtvVariant&&) noexcept = default;

    bool IsEmpty() const { return !Data || Size == 0; }

    void Clear();
    // Size := n, growing the buffer when needed (old bytes kept). Growing resets
    // Kind to vkNone; every setter sets Kind after it.
    void SetSize(int32_t n);
    bool Assign(const TtvVariant* Other);
    void SetText(const char* Text);
    void SetString(std::string_view Text);
    void SetNumber(double Value);
    void SetDate(int32_t Jdn);
    void SetBoolean(uint8_t Value);
    void SetBytes(const void* Bytes, int32_t Count);
    // Makes the value vkRaw and puts the bytes behind the old ones.
    void AppendBytes(const void* Bytes, int32_t Count);
    // Copies min(Count, Size) bytes; nullptr for an empty value.
    void* CopyBytesTo(void* Destination, int32_t Count) const;

    bool AsBoolean() const;
    // Text goes through StrToFloat (locale decimal separator) and may throw
    // EConvertError; the number is returned as a double.
    double AsNumber() const;
    int32_t AsDate() const;
    std::string AsString() const;
    // AsString written zero-terminated into Destination (which must be large enough).
    char* AsText(char* Destination) const;
    std::string_view TextView() const {
        return {reinterpret_cast<const char*>(Data.get()),
                static_cast<size_t>(IsEmpty() ? 0 : Size)};
    }

    // vkText only: each character c becomes Table[c]; without a table the text is
    // upper-cased (ANSI).
    void Translate(const uint8_t* Table);
    void PadRight(int32_t n);
    void TrimRight();

    // -1, 0 or 1. Texts compare byte by byte through Collation (plain byte order when
    // none); DiffPos ends as the 1-based position of the first difference, or
    // min(sizes) + 1 when one is a prefix of the other. When Self is a proper prefix
    // of Other, PrefixResult (its sign) is the result: 0 lets a short key match every
    // longer key it begins, -1 keeps the plain order. vkRaw adopts the other side's
    // kind. Incompatible kinds throw ETarnisError "Variant types mismatch for compare".
    int32_t Compare(const TtvVariant* Other, int32_t& DiffPos, const uint8_t* Collation,
                    int32_t PrefixResult) const;
};

// ---------------------------------------------------------------------------
// TtvCollection: an ordered list of object references that frees its items.
// ---------------------------------------------------------------------------
class TtvCollection {
public:
    TtvCollection() = default;
    TtvCollection(const TtvCollection&) = delete;
    TtvCollection& operator=(const TtvCollection&) = delete;
    virtual ~TtvCollection();

    void Add(TtvObject* Item) { Items.push_back(Item); }
    int32_t IndexOf(const TtvObject* Item) const;
    void Delete(int32_t Index);
    int32_t Count() const { return static_cast<int32_t>(Items.size()); }
    TtvObject* At(int32_t Index) const { return Items[static_cast<size_t>(Index)]; }

    // Frees one item; a collection that only lists objects overrides it to do nothing.
    virtual void FreeItem(TtvObject* Item);
    void FreeOne(TtvObject* Item);
    void FreeAll();

protected:
    // For the destructors of derived collections: forgets the items unfreed.
    void ForgetAll() { Items.clear(); }

private:
    std::vector<TtvObject*> Items;
};

// ---------------------------------------------------------------------------
// TtvHugeSet: a growable bit set indexed by record number, in blocks of 16 384
// bytes (131 072 bits). Bit n lives in block n / 131072, byte (n / 8) % 16384,
// mask 1 << (n % 8).
// ---------------------------------------------------------------------------
class TtvHugeSet {
public:
    static constexpr uint32_t BlockBytes = 16384;
    static constexpr uint32_t BlockBits = BlockBytes * 8;

    std::vector<std::unique_ptr<uint8_t[]>> Blocks;
    int32_t HighIndex = -1; // highest index ever changed; -1 = none

    // Every block filled with zeros (none is freed); HighIndex := -1.
    void ClearAll();
    // Op 0 clears, 1 sets, 2 toggles; other values change nothing.
    void Change(int32_t Index, int32_t Op);
    bool Contains(int32_t Index) const;
};

// A character of TrueLetters means true; "T" and "F" are the text forms.
inline constexpr std::string_view TrueLetters = "TtYyJj";
inline constexpr std::string_view FalseLetters = "FfNn";

// ---- file names ----

// The name unchanged when its last component has an extension; otherwise with
// Extension (which includes its dot) put on.
std::string DefaultExtension(const std::string& FileName, const std::string& Extension);
// The last component without its extension.
std::string BareFileName(const std::string& FileName);

// ---- zero-terminated strings ----

// Appends C until the string is N long; a string of N or more is left alone. The
// buffer must hold N + 1 bytes.
void PadZ(char* Text, char C, size_t N);
void TrimZ(char* Text);
void UpperZ(char* Buffer, size_t Length);
int CompareZ(const char* A, const char* B);
int CompareTextZ(const char* A, const char* B);

} // namespace tarnis
