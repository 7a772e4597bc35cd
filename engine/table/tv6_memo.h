// Memo files: the texts behind a table's memo fields. A memo field stores only the
// number of the memo's first block; block numbers count blocks of BlockSize bytes
// from the start of the file, block 0 being the header.
//
//   class          format       extension  table version byte
//   TVobjMemo      dBase III    .DBT       0x83
//   TVobjMemo4     dBase IV     .DBT       0x8B
//   TVobjFXMemo20  FoxPro       .FPT       0xF5; 0x30 with the memo flag
//
// The memo file is the table's file name with the extension replaced, written in the
// letter case of the table's extension ("x.dbf" gives "x.fpt", "X.DBF" "X.FPT"); the
// file-name layer finds a memo file whose name differs only in case.
//
// dBase III (.DBT, 512-byte blocks)
//   header: 0 (4, LE) next free block; 8 (9) the table's bare name, written by
//   RenameMemo. A memo is its text, then 0x1A 0x1A, then zeros to the end of its last
//   block; its length is found by scanning for the first 0x1A (at most 65 519 bytes,
//   and never past the end of the file).
//
// dBase IV (.DBT)
//   header: 0 (4, LE) first block of the free chain; 4 (4) zeroed when a run is
//   freed; 8 (9) the table's bare name; 20 (4, LE) block size (32 .. 65 536).
//   memo block header (8 bytes): 0xFFFF, 8, text length + 8 (LE); text from offset 8.
//   free run: 0 (4) next run of the chain, 4 (4) run length in blocks. The chain
//   ends at the end of the file. A memo whose text and header fill its blocks exactly
//   is given one block more than it writes, so the chain's last link may name the
//   block just past the end of the file; that block is free space too.
//
// FoxPro (.FPT)
//   header: the first 512 bytes; 0 (4, BE) next free block; 4 (2) unused; 6 (2, BE)
//   block size (not 0). Memos start after the header's 512 bytes.
//   memo block header (8 bytes, BE): type (1 = text; 0 also read), text length.
//
// In dBase IV and FoxPro files the rest of a memo's last block is written as zeros.
// dBase III and FoxPro memos that grow are appended at the next free block; the old
// run stays unused until the table is rebuilt. dBase IV memos go back on the free
// chain and new ones take the first run that is long enough.
//
// Damaged files never make the engine read outside the file or allocate more than
// one block at a time: a block number outside the file, a block header whose length
// runs past the end of the file, a block size out of range, and a dBase IV free chain
// that loops, links to a block beyond the end of the file or holds a run reaching
// past it all report 1005 "dBase memo record has format error" (sub-code 6199). A
// handler that returns instead of throwing gets what the file holds: the text up to
// the end of the file, an empty memo for a block outside it. A zero link ends the
// free chain (block 0 is the header). A next-free number that would overwrite
// existing memos or leave a gap of more than one block is replaced by the end of the
// file. Writing over a memo whose block lies outside the file writes a new memo (and
// writing an empty text there gives block 0); a memo is rewritten in place only when
// it is the one last read or written, whose blocks were counted. A write that would
// take the file past the formats' 2 GB of 32-bit offsets reports 101 "Disk write
// error" (sub-code 1102) before anything is written.
//
// Memo lock by protocol (taken by WriteMemo on a shared file, retried with the lock
// wait settings): Default and FoxLock 1 byte at 0x7FFFFFFD, DB4Lock 2 bytes at
// 0xEFFFFFFE, ClipLock 1 byte at 1 000 000 000. Any other protocol never gets the
// lock and reports 33.
//
// Sub-codes: 6101 the memo file is missing (code 2); 6199 a damaged memo file (1005
// "dBase memo record has format error"); 1112 the memo lock was not obtained.
#pragma once

#include "engine/base/tv6_disk.h"

#include <cstdint>
#include <memory>
#include <string>

namespace tarnis {

class TVO_dBaseDBF;

namespace sc {
constexpr int32_t MemoMissing = 6101;
constexpr int32_t MemoFormat = 6199;
constexpr int32_t MemoLock = 1112;
} // namespace sc

// The dBase III memo file, and the base of the other two formats.
class TVobjMemo : public TVO_DiskFile {
public:
    TVO_dBaseDBF* Owner = nullptr; // errors are reported through it
    uint8_t Version = 0;
    int32_t CurrentBlock = 0; // first block of the memo last read or written
    uint16_t BlockCount = 0;  // blocks that memo occupies
    int32_t BlockSize = 512;
    uint8_t HeaderBuffer[32] = {};
    uint8_t LockProtocol = 0;
    uint32_t MemoLockOffset = 0;

    // FileName is the table's file name; the memo's extension follows the version
    // byte. Reports 2/6101 when the memo file does not exist.
    TVobjMemo(TVO_dBaseDBF* Owner, const std::string& FileName, bool ReadWrite, bool Shared,
              uint8_t Version);

    void ReportError(int32_t Code, int32_t SubCode, std::string_view Info) override;

    // Chooses the first block for a memo of Length bytes (CurrentBlock holds the old
    // one, 0 = none) and prepares its block header in HeaderBuffer.
    virtual void AllocateBlocks(int32_t Length);
    // dBase IV: puts the memo's run at the head of the free chain. A block that does
    // not hold a used memo lying wholly in the file (a run freed already, a block in
    // the middle of a text) reports 1005/6199 and is left as it is. Others: nothing.
    virtual void FreeBlocks(int32_t Block);
    // Prepares the padding written after a text (dBase III: 0x1A 0x1A 0).
    virtual void FillTerminator(uint8_t* Buffer);
    // Length := the bytes of the memo whose block header is in HeaderBuffer,
    // that header included (0 for dBase III, which has none); also the result.
    // Reports 1005/6199 for a header without a valid marker or type (Length 8).
    virtual int32_t ReadBlockLength(int32_t& Length);
    virtual int32_t BlockHeaderSize();
    virtual void SetLockProtocol(int32_t Protocol);
    virtual bool RenameMemo(const std::string& NewTableName);

    // Length holds the buffer's capacity on entry and the bytes delivered on return.
    // The text is not terminated; Block 0 delivers nothing and a zero byte at
    // Buffer[0]. The memo read is the one a following WriteMemo may rewrite in place.
    void ReadMemo(uint8_t* Buffer, int32_t Block, int32_t& Length);
    // Writes Length bytes as the memo that was at Block (0 = none); returns the
    // memo's first block, possibly a new one, and stores it in Block. An empty text
    // for a record without memo writes nothing and returns 0. On a shared file the
    // memo lock is held from the allocation to the last byte; when it cannot be had
    // (reported, 1112) the result is 0.
    int32_t WriteMemo(const uint8_t* Data, int32_t& Block, int32_t& Length);
    // The text length (0 for Block 0), never more than the file holds.
    int32_t MemoLength(int32_t Block);

protected:
    // First block that can hold a memo: 1, or the first block after FoxPro's
    // 512-byte header.
    int32_t FirstBlock = 1;

    // Bytes of the memo at Block including its block header (BlockHeaderSize for
    // Block 0), never more than the file holds from Block on.
    int32_t MemoSize(int32_t Block);
    // Takes the memo lock of the protocol, retrying; reports 1112 when it fails.
    bool LockMemo();
    // Reports 1005 "dBase memo record has format error" (sub-code 6199).
    void FormatError();
    // The file's length in blocks, a partly written last block counted (0 when the
    // size is unknown).
    int32_t EndBlock();
    // Whether a memo (at least its block header) can start at Block.
    bool BlockInFile(int32_t Block);
    // Where an appended memo goes, given the header's next-free number.
    int32_t AppendStart(uint32_t NextFree);
};

class TVobjMemo4 : public TVobjMemo {
public:
    TVobjMemo4(TVO_dBaseDBF* Owner, const std::string& FileName, bool ReadWrite, bool Shared,
               uint8_t Version);

    void AllocateBlocks(int32_t Length) override;
    void FreeBlocks(int32_t Block) override;
    void FillTerminator(uint8_t* Buffer) override;
    int32_t ReadBlockLength(int32_t& Length) override;
    int32_t BlockHeaderSize() override;

private:
    // First fit from the free chain: the first block of a run of Needed blocks.
    int32_t TakeFreeRun(int32_t Needed);
};

class TVobjFXMemo20 : public TVobjMemo {
public:
    TVobjFXMemo20(TVO_dBaseDBF* Owner, const std::string& FileName, bool ReadWrite, bool Shared,
                  uint8_t Version);

    void AllocateBlocks(int32_t Length) override;
    void FillTerminator(uint8_t* Buffer) override;
    int32_t ReadBlockLength(int32_t& Length) override;
    int32_t BlockHeaderSize() override;
    bool RenameMemo(const std::string& NewTableName) override;
};

// The memo object for the table's version byte (the table's OpenMemo calls this),
// or nullptr when the table has no memo file.
std::unique_ptr<TVobjMemo> CreateMemoFile(TVO_dBaseDBF& Table);

} // namespace tarnis
