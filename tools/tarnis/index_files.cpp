#include "tools/tarnis/index_files.h"

#include "engine/base/tv6_eror.h"
#include "engine/index/tv6_cdx.h"
#include "platform/code_page.h"
#include "platform/file_names.h"
#include "tools/tarnis/options.h"

namespace tarnis::tool {

namespace {

// Index formats the tool opens: compound files; a name without extension is one.
void CheckFormat(const std::string& name) {
    const std::string extension = AnsiUpperCase(ExtractFileExt(name));
    if (!extension.empty() && extension != ".CDX")
        throw UsageError("unsupported index format: " + name);
}

} // namespace

void OpenIndexesInTable(TVO_dBHandler& table, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        CheckFormat(name);
        table.OpenIndex(DefaultExtension(name, ".CDX"));
    }
}

IndexFiles OpenIndexesForReading(TVO_dBaseFld& table, const std::vector<std::string>& names) {
    IndexFiles files;
    for (const std::string& name : names) {
        CheckFormat(name);
        auto file = std::make_unique<TVobjCDXFile>(&table, name, false, true, false, false);
        if (!file->Valid) {
            // The name as the index file looked for it: beside the table when bare.
            std::string shown = DefaultExtension(name, ".CDX");
            if (ExtractFilePath(shown).empty())
                shown = ExtractFilePath(table.FileName) + AnsiUpperCase(shown);
            if (file->DiskFile) shown = file->DiskFile->FileName;
            EngineError(file->HeaderDamaged ? ec::IndexDamaged : 2, NoSubCode, shown);
        }
        files.push_back(std::move(file));
    }
    return files;
}

TVobjIndexTag& FindTag(const IndexFiles& files, const std::string& name) {
    for (const auto& file : files)
        if (TVobjIndexTag* tag = file->TagByName(name)) return *tag;
    throw ETarnisError("Cannot find index tag " + name);
}

int32_t CountKeys(TVobjIndexTag& tag) {
    int32_t count = 0;
    tag.ResetNodes(2);
    for (int32_t r = tag.Move(MoveTop); r != 0; r = tag.Move(MoveNext))
        ++count;
    return count;
}

} // namespace tarnis::tool
