// The index formats a table can open, chosen by file extension. The table handler
// reaches the formats only through this function and the framework's classes.
#pragma once

#include <memory>
#include <string>

namespace tarnis {

class TVO_dBaseFld;
class TVobjIndexFile;

// The index file object of the format that the extension (".CDX", upper case) names,
// opened on Name for the table; nullptr for an extension no format handles here. The
// object's Valid says whether the file was found and its structure read.
std::unique_ptr<TVobjIndexFile> OpenIndexFileOfKind(const std::string& Extension,
                                                    TVO_dBaseFld* Table, const std::string& Name,
                                                    bool ReadWrite, bool Shared);

} // namespace tarnis
