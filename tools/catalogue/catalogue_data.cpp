#include "tools/catalogue/catalogue_data.h"

#include <algorithm>

namespace tarnis::catalogue {

namespace {

constexpr const char* Sony = "Sony Computer Entertainment";

// One entry's category, "Éducatif", is deliberately missing from the category list:
// the catalogue links by value and keeps such entries as they are.
const std::vector<Game> AllGames = {
    {"Final Fantasy VII", "Jeu de rôle", "Square", Sony, "1", "1", false, false,
     "Trois CD.\r\nLe premier épisode de la série en 3D ; la version française contient "
     "quelques fautes de traduction célèbres.\r\nSauvegarde possible sur la carte mémoire "
     "à chaque point de sauvegarde de la carte du monde.",
     false},
    {"Final Fantasy VIII", "Jeu de rôle", "Square", "Square Europe", "1", "1", false, true,
     "Quatre CD. Système de jonction des magies ; le jeu de cartes Triple Triad se joue "
     "à côté de l'histoire.",
     false},
    {"Metal Gear Solid", "Action", "Konami", "Konami", "1", "1", true, true,
     "Infiltration en Alaska.\r\nAstuce : le numéro de fréquence de Meryl est au dos "
     "de la boîte du jeu.",
     false},
    {"Gran Turismo", "Course", "Polyphony Digital", Sony, "1-2", "1", true, true,
     "Plus de 140 voitures. Les permis A, B et International ouvrent les championnats.", false},
    {"Gran Turismo 2", "Course", "Polyphony Digital", Sony, "1-2", "1", true, true, "", false},
    {"Crash Bandicoot", "Plates-formes", "Naughty Dog", Sony, "1", "1", false, false, "", false},
    {"Crash Bandicoot 2 : Cortex Strikes Back", "Plates-formes", "Naughty Dog", Sony, "1", "1",
     true, false, "", false},
    {"Crash Team Racing", "Course", "Naughty Dog", Sony, "1-4", "1", true, true,
     "Jusqu'à quatre joueurs avec l'adaptateur multitap.", false},
    {"Spyro le dragon", "Plates-formes", "Insomniac Games", Sony, "1", "1", true, true, "", false},
    {"Tomb Raider", "Aventure", "Core Design", "Eidos Interactive", "1", "1", false, false,
     "Sauvegarde uniquement aux cristaux bleus.", false},
    {"Tomb Raider II", "Aventure", "Core Design", "Eidos Interactive", "1", "1", true, false, "",
     false},
    {"Resident Evil", "Survival horror", "Capcom", "Virgin Interactive", "1", "1", false, false,
     "Deux personnages jouables : Chris et Jill.\r\nLes rubans encreurs limitent les sauvegardes.",
     false},
    {"Resident Evil 2", "Survival horror", "Capcom", "Virgin Interactive", "1", "1", true, true, "",
     false},
    {"Silent Hill", "Survival horror", "Konami", "Konami", "1", "1", true, true,
     "Brouillard permanent ; la radio grésille quand un monstre approche.", false},
    {"Tekken 3", "Combat", "Namco", Sony, "1-2", "1", true, true,
     "Mode Tekken Force et mode Tekken Ball à débloquer.", false},
    {"Soul Blade", "Combat", "Namco", Sony, "1-2", "1", false, false, "", false},
    {"Ridge Racer Type 4", "Course", "Namco", Sony, "1-2", "1", true, true, "", false},
    {"WipEout 2097", "Course", "Psygnosis", "Psygnosis", "1", "1", true, false, "", false},
    {"Castlevania : Symphony of the Night", "Action", "Konami", "Konami", "1", "1", false, true,
     "Le château renversé n'apparaît qu'après avoir libéré Richter avec les lunettes "
     "de sainteté ; sans elles, la fin arrive trop tôt.",
     false},
    {"L'Odyssée d'Abe", "Plates-formes", "Oddworld Inhabitants", "GT Interactive", "1", "1", false,
     false, "Libérer les Mudokons change la fin.", false},
    {"Rayman", "Plates-formes", "Ubi Soft", "Ubi Soft", "1", "1", false, false, "", false},
    {"Tony Hawk's Skateboarding", "Sport", "Neversoft", "Activision", "1-2", "1", true, true, "",
     false},
    {"FIFA 98 : En route pour la Coupe du Monde", "Sport", "EA Canada", "Electronic Arts", "1-8",
     "1", true, false, "", false},
    {"V-Rally", "Course", "Eden Studios", "Infogrames", "1-2", "1", false, false,
     "Rallye français ; championnat sur huit pays.", false},
    {"Colin McRae Rally", "Course", "Codemasters", "Codemasters", "1-2", "1", true, true, "",
     false},
    {"Worms", "Stratégie", "Team17", "Ocean", "1-4", "1", false, false, "", false},
    {"Command & Conquer", "Stratégie", "Westwood Studios", "Virgin Interactive", "1-2", "1", false,
     false, "Deux CD : campagne du GDI et campagne du Nod.", false},
    {"Vagrant Story", "Jeu de rôle", "Square", "Square Europe", "1", "1", true, true, "", false},
    {"Dino Crisis", "Survival horror", "Capcom", "Virgin Interactive", "1", "1", true, true, "",
     false},
    {"MediEvil", "Action", "SCE Cambridge Studio", Sony, "1", "1", true, true,
     "Sir Daniel Fortesque, héros malgré lui.", false},
    {"Ape Escape", "Plates-formes", "SCE Japan Studio", Sony, "1", "1", true, true,
     "Jouable uniquement avec la manette analogique : les deux sticks servent en "
     "permanence.",
     false},
    {"Driver", "Action", "Reflections", "GT Interactive", "1", "1", true, true, "", false},
    {"Syphon Filter", "Action", "Eidetic", Sony, "1", "1", true, true, "", false},
    {"PaRappa the Rapper", "Rythme", "NanaOn-Sha", Sony, "1", "1", false, false, "", false},
    {"Bust-A-Move 2", "Réflexion", "Taito", "Acclaim", "1-2", "1", false, false, "", false},
    {"Theme Hospital", "Simulation", "Bullfrog", "Electronic Arts", "1", "2", false, false,
     "Gestion d'hôpital ; les maladies ont des noms farfelus.", false},
    {"Alundra", "Jeu de rôle", "Matrix Software", "Psygnosis", "1", "1", false, false, "", false},
    {"Adibou : Je lis, je calcule", "Éducatif", "Coktel Vision", "Sierra", "1", "1", false, false,
     "", false},
    {"Fade to Black", "Aventure", "Delphine Software", "Electronic Arts", "1", "1", false, false,
     "Doublon retiré de la collection.", true},
};

const std::vector<std::string> AllCategories = {
    "Action", "Aventure",   "Combat", "Course",    "Jeu de rôle",     "Plates-formes", "Réflexion",
    "Rythme", "Simulation", "Sport",  "Stratégie", "Survival horror", "Tir",
};

} // namespace

const std::vector<Game>& Games() {
    return AllGames;
}

const std::vector<std::string>& Categories() {
    return AllCategories;
}

std::vector<std::string> DevelopersAndDistributors() {
    std::vector<std::string> names;
    const auto add = [&names](const std::string& name) {
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    };
    for (const Game& game : AllGames) {
        add(game.Developer);
        add(game.Distributor);
    }
    return names;
}

} // namespace tarnis::catalogue
