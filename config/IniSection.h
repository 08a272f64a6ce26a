#ifndef QUORVANE_INISECTION_H
#define QUORVANE_INISECTION_H

#include <string>
#include <vector>

// One section of a configuration file. The section's own name lives beside
// it in CIniFile::sectionNames, so that a section can be renamed or looked up
// without touching its content.
struct IniSection {
    std::vector<std::string> entryNames;  // names as first written, in file order
    std::vector<std::string> entryValues; // value of entryNames[i], same length and order
    std::vector<std::string> comments;    // comment texts without their ';' or '#'
};

#endif
