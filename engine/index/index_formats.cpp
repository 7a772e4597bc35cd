#include "engine/index/index_formats.h"

#include "engine/index/tv6_cdx.h"

namespace tarnis {

std::unique_ptr<TVobjIndexFile> OpenIndexFileOfKind(const std::string& Extension,
                                                    TVO_dBaseFld* Table, const std::string& Name,
                                                    bool ReadWrite, bool Shared) {
    if (Extension == ".CDX")
        return std::make_unique<TVobjCDXFile>(Table, Name, ReadWrite, Shared, false, false);
    return nullptr;
}

} // namespace tarnis
