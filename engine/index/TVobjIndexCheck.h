// TVobjIndexCheck: checks the whole tree of one tag, as it is on disk.
//
// It reads every node level by level from the root, through the tag's own ReadNode,
// without touching the tag's cached path (which it writes and drops first, so that the
// file holds everything the tag knows), and collects what it finds wrong:
//   - a node that cannot be read, or that is reached twice (a loop or a shared child);
//   - a level that mixes leaves and branches, leaves above the lowest level, a tree
//     deeper than MaxTreeDepth;
//   - an empty node other than an empty root leaf;
//   - keys out of order within a node or from one node to the next on the same level
//     (in a RecordOrdered file equal keys must rise by record number);
//   - sibling links that do not chain the nodes of a level left to right, with -1 at
//     both ends;
//   - a branch entry whose key and record number are not those of its child's
//     highest key;
//   - a record number listed twice in the leaves.
// With the table, it also evaluates every record: each record whose key belongs in
// the tag (FOR condition) must be there once under its current key, and no other
// record may be. In a Unique tag every key value may be there only once, under a
// record that has it; a value may be missing (when the record that held it changed,
// the other records with that value do not take its place, as in other xBase
// programs, until the tag is rebuilt). The table's current record is restored
// afterwards.
#pragma once

#include "engine/index/tv6_indx.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tarnis {

class TVobjIndexCheck {
public:
    std::vector<std::string> Problems;
    int32_t KeyCount = 0;  // entries in the leaves
    int32_t NodeCount = 0; // nodes read
    int32_t Levels = 0;    // levels of the tree (1 = the root is a leaf)

    // Checks Tag's tree; WithTable also compares it with the table's records.
    TVobjIndexCheck(TVobjIndexTag& Tag, bool WithTable);

    bool Ok() const { return Problems.empty(); }
    // The problems, one per line.
    std::string Report() const;

private:
    TVobjIndexTag& tag_;
    std::vector<std::pair<int32_t, TVobjIndexKeyData>> leafKeys_; // (record, key) in order

    void CheckTree();
    void CheckAgainstTable();
    void Problem(const std::string& text);
};

} // namespace tarnis
