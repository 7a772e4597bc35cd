#include "tools/tarnis/compound_writing.h"

#include "engine/base/tv6_eror.h"
#include "platform/code_page.h"
#include "platform/file_names.h"
#include "tools/tarnis/options.h"

namespace tarnis::tool {

std::unique_ptr<TVobjCDXFile> OpenCompoundForWriting(TVO_dBaseFld& Table, const std::string& Name,
                                                     bool Create) {
    const std::string extension = AnsiUpperCase(ExtractFileExt(Name));
    if (!extension.empty() && extension != ".CDX")
        throw UsageError("unsupported index format: " + Name);
    auto file = std::make_unique<TVobjCDXFile>(&Table, Name, true, false, Create, false);
    if (!file->Valid) {
        // The name as the index file looked for it: beside the table when bare.
        std::string shown = DefaultExtension(Name, ".CDX");
        if (ExtractFilePath(shown).empty())
            shown = ExtractFilePath(Table.FileName) + AnsiUpperCase(shown);
        if (file->DiskFile) shown = file->DiskFile->FileName;
        EngineError(file->HeaderDamaged ? ec::IndexDamaged : 2, NoSubCode, shown);
    }
    return file;
}

} // namespace tarnis::tool
