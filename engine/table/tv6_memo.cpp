#include "engine/table/tv6_memo.h"

#include "engine/base/byte_order.h"
#include "engine/base/tv6_eror.h"
#include "engine/table/tv6_DBF.h"
#include "platform/file_names.h"
#include "platform/os_file.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

namespace tarnis {

namespace {

constexpr int32_t TransferPiece = 32768; // largest single read or write
constexpr int32_t Dbase3BlockSize = 512;
constexpr int32_t Dbase3MaxLength = 65519; // the length scan gives up here
constexpr uint8_t Dbase3Terminator = 0x1A;
constexpr int32_t FoxHeaderBytes = 512;
// A dBase IV header block must hold the 24 header bytes, and every block the 8-byte
// memo header or free-run record; the upper bound keeps one block a small buffer.
constexpr int32_t Dbase4MinBlockSize = 32;
constexpr int32_t Dbase4MaxBlockSize = 65536;
constexpr int32_t MemoHeaderSize = 8;
constexpr uint16_t Dbase4UsedMarker = 0xFFFF;
constexpr uint32_t FoxTextType = 1;
constexpr int32_t WriteFailure = 101; // "Disk write error"
constexpr int64_t MaxFileOffset = std::numeric_limits<int32_t>::max();

int32_t Clamp32(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, 0, std::numeric_limits<int32_t>::max()));
}

// BlockCount is 16-bit: a longer memo is counted as 65 535 blocks, which only ever
// makes an in-place rewrite less likely.
uint16_t SaturatedCount(int64_t blocks) {
    return static_cast<uint16_t>(
        std::clamp<int64_t>(blocks, 0, std::numeric_limits<uint16_t>::max()));
}

bool IsFoxVersion(uint8_t version) {
    return version == 0x30 || version == 0xF5;
}

// The table's name with the extension of the memo format, written in the letter case
// of the table's own extension: files that come in pairs ("x.dbf" and "x.fpt") are then
// found directly, even beside a pair that differs only in case.
std::string MemoFileName(const std::string& tableName, uint8_t version) {
    const size_t first = tableName.find_first_not_of(' ');
    const size_t last = tableName.find_last_not_of(' ');
    const std::string trimmed =
        first == std::string::npos ? std::string() : tableName.substr(first, last - first + 1);
    std::string ext;
    if (IsFoxVersion(version))
        ext = ".FPT";
    else if (version == 0x83 || version == 0x8B)
        ext = ".DBT";
    const std::string tableExt = ExtractFileExt(trimmed);
    if (tableExt.size() > 1 && tableExt[1] >= 'a' && tableExt[1] <= 'z')
        for (char& c : ext)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    return ChangeFileExt(trimmed, ext);
}

} // namespace

// ---------------------------------------------------------------------------
// TVobjMemo: dBase III, and what the three formats share
// ---------------------------------------------------------------------------

TVobjMemo::TVobjMemo(TVO_dBaseDBF* Owner, const std::string& FileName, bool ReadWrite, bool Shared,
                     uint8_t Version)
    : TVO_DiskFile(MemoFileName(FileName, Version), ReadWrite, Shared), Owner(Owner),
      Version(Version) {
    BlockSize = Dbase3BlockSize;
    BlockCount = 0;
    CurrentBlock = 0;
    if (!Existed) {
        ErrorCode = oserr::FileNotFound;
        CheckError(ErrorCode, sc::MemoMissing);
        return;
    }
    Open();
}

void TVobjMemo::ReportError(int32_t Code, int32_t SubCode, std::string_view Info) {
    if (Owner != nullptr)
        Owner->ReportError(Code, SubCode, Info);
    else
        TVO_DiskFile::ReportError(Code, SubCode, Info);
}

void TVobjMemo::FormatError() {
    ErrorCode = ec::MemoFormat;
    CheckError(ErrorCode, sc::MemoFormat);
}

int32_t TVobjMemo::EndBlock() {
    const int64_t size = std::max<int32_t>(FileSize(), 0);
    return static_cast<int32_t>((size + BlockSize - 1) / BlockSize);
}

bool TVobjMemo::BlockInFile(int32_t Block) {
    if (Block < FirstBlock) return false;
    const int64_t size = std::max<int32_t>(FileSize(), 0);
    return static_cast<int64_t>(Block) * BlockSize + std::max(BlockHeaderSize(), 1) <= size;
}

int32_t TVobjMemo::AppendStart(uint32_t NextFree) {
    // Writers leave the next-free number at the end of the file, or one block past it
    // when the last memo was given a block it did not write. Anything else would put
    // the new memo over existing ones or far beyond the file.
    const int32_t end = std::max(EndBlock(), FirstBlock);
    if (NextFree < static_cast<uint32_t>(end) || NextFree > static_cast<uint32_t>(end) + 1)
        return end;
    return static_cast<int32_t>(NextFree);
}

void TVobjMemo::AllocateBlocks(int32_t Length) {
    const int32_t needed =
        static_cast<int32_t>((static_cast<int64_t>(Length) + 2 + BlockSize - 1) / BlockSize);
    if (CurrentBlock <= 0 || BlockCount < needed) {
        uint8_t header[32] = {};
        ReadAt(0, header, sizeof header);
        CurrentBlock = AppendStart(GetLE32(header));
        PutLE32(header, static_cast<uint32_t>(CurrentBlock + needed));
        WriteAt(0, header, sizeof header);
    }
    BlockCount = SaturatedCount(needed);
    std::memset(HeaderBuffer, 0, sizeof HeaderBuffer);
}

void TVobjMemo::FreeBlocks(int32_t) {
}

void TVobjMemo::FillTerminator(uint8_t* Buffer) {
    Buffer[0] = Dbase3Terminator;
    Buffer[1] = Dbase3Terminator;
    Buffer[2] = 0;
}

int32_t TVobjMemo::ReadBlockLength(int32_t& Length) {
    Length = 0;
    return Length;
}

int32_t TVobjMemo::BlockHeaderSize() {
    return 0;
}

void TVobjMemo::SetLockProtocol(int32_t Protocol) {
    LockProtocol = static_cast<uint8_t>(std::clamp(Protocol, 0, 255));
    switch (Protocol) {
    case Default:
    case FoxLock:
        MemoLockOffset = 0x7FFFFFFEu;
        break;
    case DB4Lock:
        MemoLockOffset = 0xEFFFFFFFu;
        break;
    case ClipLock:
        MemoLockOffset = 1000000000u;
        break;
    default:
        break;
    }
}

bool TVobjMemo::RenameMemo(const std::string& NewTableName) {
    if (!Rename(ChangeFileExt(NewTableName, ExtractFileExt(FileName)))) return false;
    uint8_t header[32] = {};
    ReadAt(0, header, sizeof header);
    std::memset(header + 8, 0, 9);
    std::string bare = BareFileName(NewTableName);
    if (bare.size() > 8) bare.resize(8);
    UpperZ(bare.data(), bare.size());
    std::memcpy(header + 8, bare.data(), bare.size());
    WriteAt(0, header, sizeof header);
    return true;
}

int32_t TVobjMemo::MemoSize(int32_t Block) {
    const int32_t headerSize = BlockHeaderSize();
    if (Block == 0) return headerSize;
    if (!BlockInFile(Block)) {
        FormatError();
        return headerSize;
    }
    const int64_t start = static_cast<int64_t>(Block) * BlockSize;
    const int64_t available = std::max<int32_t>(FileSize(), 0) - start;

    if (headerSize > 0) {
        std::memset(HeaderBuffer, 0, sizeof HeaderBuffer);
        ReadAt(static_cast<uint32_t>(start), HeaderBuffer, sizeof HeaderBuffer);
        int32_t length = headerSize;
        ReadBlockLength(length);
        if (length > available) {
            FormatError();
            length = static_cast<int32_t>(available);
        }
        return length;
    }

    // dBase III: the text runs to the first terminator byte, or to the end of the file
    // when a damaged memo has none.
    std::vector<uint8_t> block(static_cast<size_t>(BlockSize));
    int64_t count = 0;
    for (int64_t offset = start; offset < start + available; offset += BlockSize) {
        const int32_t got = ReadAt(static_cast<uint32_t>(offset), block.data(), BlockSize);
        if (got <= 0) break;
        const uint8_t* first = block.data();
        const uint8_t* end = first + got;
        const uint8_t* stop = std::find(first, end, Dbase3Terminator);
        count += stop - first;
        if (stop != end || count >= Dbase3MaxLength + 1 || got < BlockSize) break;
    }
    return static_cast<int32_t>(std::min<int64_t>(count, Dbase3MaxLength));
}

int32_t TVobjMemo::MemoLength(int32_t Block) {
    return MemoSize(Block) - BlockHeaderSize();
}

void TVobjMemo::ReadMemo(uint8_t* Buffer, int32_t Block, int32_t& Length) {
    if (Length <= 0) {
        Length = 0;
        return;
    }
    CurrentBlock = Block;
    BlockCount = 0;
    if (Block == 0) {
        Length = 0;
        Buffer[0] = 0;
        return;
    }
    int32_t size = MemoLength(Block);
    if (Length < size)
        size = Length;
    else
        Length = size;
    const int32_t headerSize = BlockHeaderSize();
    BlockCount =
        SaturatedCount((static_cast<int64_t>(size) + headerSize + BlockSize - 1) / BlockSize);

    const int64_t start = static_cast<int64_t>(Block) * BlockSize + headerSize;
    int32_t done = 0;
    while (done < size) {
        const int32_t piece = std::min(size - done, TransferPiece);
        const int32_t got = ReadAt(static_cast<uint32_t>(start + done), Buffer + done, piece);
        if (got > 0) done += got;
        if (got < piece) break;
    }
    Length = done;
}

bool TVobjMemo::LockMemo() {
    bool locked = false;
    switch (LockProtocol) {
    case Default:
    case FoxLock:
        locked = LockRangeWaiting(MemoLockOffset - 1, 1);
        break;
    case DB4Lock:
        locked = LockRangeWaiting(MemoLockOffset - 1, 2);
        break;
    case ClipLock:
        locked = LockRangeWaiting(MemoLockOffset, 1);
        break;
    default:
        // No lock position is known for the protocol: no write may proceed, and
        // waiting cannot change that.
        ErrorCode = oserr::LockViolation;
        break;
    }
    if (!locked) CheckError(ErrorCode != 0 ? ErrorCode : oserr::LockViolation, sc::MemoLock);
    return locked;
}

int32_t TVobjMemo::WriteMemo(const uint8_t* Data, int32_t& Block, int32_t& Length) {
    if (Length < 0) Length = 0;
    // A block outside the file holds no memo that could be reused or freed.
    const int32_t oldBlock = Block != 0 && BlockInFile(Block) ? Block : 0;
    if (Length == 0 && oldBlock == 0) {
        Block = 0;
        return 0;
    }
    if (Shared && !LockMemo()) return 0;
    struct TUnlockOnExit {
        TVobjMemo& Memo;
        bool Locked;
        ~TUnlockOnExit() {
            if (Locked) Memo.Unlock();
        }
    } unlock{*this, Shared};

    const int32_t headerSize = BlockHeaderSize();
    // The memo may go one block past the end of the file; with its padding block it
    // must still lie within the 32-bit offsets of the format.
    if ((static_cast<int64_t>(EndBlock()) + 2) * BlockSize + headerSize + Length + BlockSize >
        MaxFileOffset) {
        ErrorCode = WriteFailure;
        CheckError(ErrorCode, sc::WriteAt);
        return 0;
    }

    // BlockCount counts the blocks of the memo last read or written, nothing else.
    if (oldBlock != CurrentBlock) BlockCount = 0;
    CurrentBlock = oldBlock;
    AllocateBlocks(Length);

    const int64_t start = static_cast<int64_t>(CurrentBlock) * BlockSize;
    if (headerSize > 0) WriteAt(static_cast<uint32_t>(start), HeaderBuffer, headerSize);
    int32_t done = 0;
    while (done < Length) {
        const int32_t piece = std::min(Length - done, TransferPiece);
        WriteAt(static_cast<uint32_t>(start + headerSize + done), Data + done, piece);
        done += piece;
    }

    std::vector<uint8_t> padding(static_cast<size_t>(BlockSize), 0);
    FillTerminator(padding.data());
    const int32_t used =
        static_cast<int32_t>((static_cast<int64_t>(headerSize) + Length) % BlockSize);
    // A dBase III text that ends on a block boundary still needs its terminator, in the
    // extra block its allocation reserved.
    const int32_t padLength = used > 0 ? BlockSize - used : (headerSize == 0 ? BlockSize : 0);
    if (padLength > 0)
        WriteAt(static_cast<uint32_t>(start + headerSize + Length), padding.data(), padLength);

    Block = CurrentBlock;
    return CurrentBlock;
}

// ---------------------------------------------------------------------------
// TVobjMemo4: dBase IV
// ---------------------------------------------------------------------------

TVobjMemo4::TVobjMemo4(TVO_dBaseDBF* Owner, const std::string& FileName, bool ReadWrite,
                       bool Shared, uint8_t Version)
    : TVobjMemo(Owner, FileName, ReadWrite, Shared, Version) {
    if (Closed) return;
    uint8_t header[32] = {};
    const int32_t got = std::max(ReadAt(0, header, sizeof header), 0);
    const uint32_t size = GetLE32(header + 20);
    if (size < Dbase4MinBlockSize || size > Dbase4MaxBlockSize) {
        FormatError();
        return;
    }
    BlockSize = static_cast<int32_t>(size);
    // A header cut short is completed to a full block, so that block 1 starts where
    // the header says.
    if (ReadWrite && FileSize() < BlockSize) {
        std::vector<uint8_t> block(static_cast<size_t>(BlockSize), 0);
        std::memcpy(block.data(), header, static_cast<size_t>(got));
        WriteAt(0, block.data(), BlockSize);
    }
}

void TVobjMemo4::AllocateBlocks(int32_t Length) {
    const int32_t needed =
        static_cast<int32_t>((static_cast<int64_t>(Length) + MemoHeaderSize) / BlockSize + 1);
    if (CurrentBlock > 0) FreeBlocks(CurrentBlock);
    CurrentBlock = TakeFreeRun(needed);
    BlockCount = SaturatedCount(needed);
    std::memset(HeaderBuffer, 0, sizeof HeaderBuffer);
    PutLE16(HeaderBuffer, Dbase4UsedMarker);
    PutLE16(HeaderBuffer + 2, MemoHeaderSize);
    PutLE32(HeaderBuffer + 4, static_cast<uint32_t>(Length + MemoHeaderSize));
}

void TVobjMemo4::FreeBlocks(int32_t Block) {
    if (Block == 0) return;
    // Only a used memo that lies wholly in the file may join the chain: freeing a
    // free run twice, or blocks of other memos, would hand them out again.
    uint8_t memo[MemoHeaderSize] = {};
    if (BlockInFile(Block))
        ReadAt(static_cast<uint32_t>(static_cast<int64_t>(Block) * BlockSize), memo, sizeof memo);
    const int64_t length = GetLE32(memo + 4);
    const int64_t blocks = (BlockSize - 1 + length) / BlockSize;
    if (GetLE16(memo) != Dbase4UsedMarker || length < MemoHeaderSize ||
        Block + blocks > EndBlock()) {
        FormatError();
        return;
    }
    uint8_t header[8] = {};
    ReadAt(0, header, sizeof header);
    uint8_t run[8] = {};
    PutLE32(run, GetLE32(header));
    PutLE32(run + 4, static_cast<uint32_t>(blocks));
    WriteAt(static_cast<uint32_t>(static_cast<int64_t>(Block) * BlockSize), run, sizeof run);
    PutLE32(header, static_cast<uint32_t>(Block));
    PutLE32(header + 4, 0);
    WriteAt(0, header, sizeof header);
}

int32_t TVobjMemo4::TakeFreeRun(int32_t Needed) {
    uint8_t header[32] = {};
    ReadAt(0, header, sizeof header);
    int32_t end = EndBlock();
    if (end == 0) {
        end = 1;
        WriteAt(0, header, sizeof header);
    }

    // Each run holds at least one block of the file, so a chain of more runs than
    // the file has blocks goes round in a loop.
    int64_t prev = 0;
    int64_t cur = GetLE32(header);
    int64_t link = 0;
    bool found = false;
    for (int32_t steps = 0;; ++steps) {
        // The end of the file, or the block reserved just past it, ends the chain; so
        // does a zero link, as block 0 is the header.
        if (cur == 0 || cur == end || cur == end + 1) break;
        if (cur > end + 1 || steps >= end) {
            FormatError();
            break;
        }
        uint8_t run[8] = {};
        ReadAt(static_cast<uint32_t>(cur * BlockSize), run, sizeof run);
        const int64_t next = GetLE32(run);
        const int64_t length = GetLE32(run + 4);
        if (cur + length > end + 1) {
            FormatError();
            break;
        }
        if (Needed <= length) {
            if (length > Needed) {
                PutLE32(run + 4, static_cast<uint32_t>(length - Needed));
                WriteAt(static_cast<uint32_t>((cur + Needed) * BlockSize), run, sizeof run);
                link = cur + Needed;
            } else {
                link = next;
            }
            found = true;
            break;
        }
        prev = cur;
        cur = next;
    }
    if (!found) {
        cur = end;
        link = end + Needed;
    }

    uint8_t previous[32] = {};
    ReadAt(static_cast<uint32_t>(prev * BlockSize), previous, sizeof previous);
    PutLE32(previous, static_cast<uint32_t>(link));
    WriteAt(static_cast<uint32_t>(prev * BlockSize), previous, sizeof previous);
    return static_cast<int32_t>(cur);
}

void TVobjMemo4::FillTerminator(uint8_t*) {
}

int32_t TVobjMemo4::ReadBlockLength(int32_t& Length) {
    const int64_t length = GetLE32(HeaderBuffer + 4);
    if (GetLE16(HeaderBuffer) != Dbase4UsedMarker || length < MemoHeaderSize) {
        FormatError();
        Length = MemoHeaderSize;
    } else {
        Length = Clamp32(length);
    }
    return Length;
}

int32_t TVobjMemo4::BlockHeaderSize() {
    return MemoHeaderSize;
}

// ---------------------------------------------------------------------------
// TVobjFXMemo20: FoxPro
// ---------------------------------------------------------------------------

TVobjFXMemo20::TVobjFXMemo20(TVO_dBaseDBF* Owner, const std::string& FileName, bool ReadWrite,
                             bool Shared, uint8_t Version)
    : TVobjMemo(Owner, FileName, ReadWrite, Shared, Version) {
    if (Closed) return;
    uint8_t header[32] = {};
    ReadAt(0, header, sizeof header);
    const int32_t size = (header[6] << 8) | header[7];
    if (size == 0) {
        FormatError();
        return;
    }
    BlockSize = size;
    FirstBlock = (FoxHeaderBytes + BlockSize - 1) / BlockSize;
}

void TVobjFXMemo20::AllocateBlocks(int32_t Length) {
    const int32_t needed =
        static_cast<int32_t>((static_cast<int64_t>(Length) + MemoHeaderSize) / BlockSize + 1);
    if (CurrentBlock <= 0 || BlockCount < needed) {
        uint8_t header[8] = {};
        ReadAt(0, header, sizeof header);
        CurrentBlock = AppendStart(GetBE32(header));
        PutBE32(header, static_cast<uint32_t>(CurrentBlock + needed));
        WriteAt(0, header, sizeof header);
    }
    BlockCount = SaturatedCount(needed);
    std::memset(HeaderBuffer, 0, sizeof HeaderBuffer);
    PutBE32(HeaderBuffer, FoxTextType);
    PutBE32(HeaderBuffer + 4, static_cast<uint32_t>(Length));
}

void TVobjFXMemo20::FillTerminator(uint8_t*) {
}

int32_t TVobjFXMemo20::ReadBlockLength(int32_t& Length) {
    const uint32_t type = GetBE32(HeaderBuffer);
    if (type == FoxTextType || type == 0) {
        Length = Clamp32(static_cast<int64_t>(GetBE32(HeaderBuffer + 4)) + MemoHeaderSize);
    } else {
        FormatError();
        Length = MemoHeaderSize;
    }
    return Length;
}

int32_t TVobjFXMemo20::BlockHeaderSize() {
    return MemoHeaderSize;
}

bool TVobjFXMemo20::RenameMemo(const std::string& NewTableName) {
    return Rename(ChangeFileExt(NewTableName, ExtractFileExt(FileName)));
}

// ---------------------------------------------------------------------------

std::unique_ptr<TVobjMemo> CreateMemoFile(TVO_dBaseDBF& Table) {
    if (!Table.HasMemo) return nullptr;
    switch (Table.Version) {
    case 0x83:
        return std::make_unique<TVobjMemo>(&Table, Table.FileName, Table.ReadWrite, Table.Shared,
                                           Table.Version);
    case 0x8B:
        return std::make_unique<TVobjMemo4>(&Table, Table.FileName, Table.ReadWrite, Table.Shared,
                                            Table.Version);
    case 0x30:
    case 0xF5:
        return std::make_unique<TVobjFXMemo20>(&Table, Table.FileName, Table.ReadWrite,
                                               Table.Shared, Table.Version);
    default:
        return nullptr;
    }
}

} // namespace tarnis
