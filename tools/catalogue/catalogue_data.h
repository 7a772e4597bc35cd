// The catalogue's supplied content: console games with their category, developer,
// distributor and notes, and the lists of categories and developers/distributors.
// Text here is UTF-8; the generator stores it in code page 850.
#pragma once

#include <string>
#include <vector>

namespace tarnis::catalogue {

struct Game {
    const char* Title;
    const char* Category;
    const char* Developer;
    const char* Distributor;
    const char* Players;
    const char* MemoryBlocks;
    bool Analog;
    bool DualShock;
    const char* Notes; // empty: no memo
    bool Deleted;      // kept in the file but marked deleted
};

const std::vector<Game>& Games();
const std::vector<std::string>& Categories();
// Every developer and distributor of the games, once each, in order of appearance.
std::vector<std::string> DevelopersAndDistributors();

} // namespace tarnis::catalogue
