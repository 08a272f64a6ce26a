#ifndef QUORVANE_CINIFILE_H
#define QUORVANE_CINIFILE_H

// A configuration file of sections and name=value entries, held in memory.
//
// File syntax, one line at a time (one CR before the LF is dropped):
//   empty                            skipped
//   first byte not printable         load stops: "Failing on char %d\n"
//   none of ; # [ =                  skipped
//   first of them is ';' or '#'      comment: the text after that character
//   first of them is '[' and a ']'   section header: the text between the '['
//     follows later in the line        and the last ']' of the line
//   first of them is '[', no ']'     skipped
//   first of them is '='             entry: name before it, value after it
// Nothing is trimmed: blanks around names and values belong to them.
// Entries before any header belong to a section whose name is empty.
//
// Names are stored as first written; lookups compare them folded to lower
// case, linearly, and the first match wins. Section names need not be unique.
//
// Indices are unsigned. A find operation answers -1 for a missing name, and
// that -1 handed back as an index is simply out of range: getters then give
// an empty string, 0 or the caller's default, and changers return false or do
// nothing.

#include <string>
#include <vector>

#include "IniSection.h"

#if defined(__GNUC__)
#define CINIFILE_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#define CINIFILE_SCANF(fmt, args) __attribute__((format(scanf, fmt, args)))
#else
#define CINIFILE_PRINTF(fmt, args)
#define CINIFILE_SCANF(fmt, args)
#endif

class CIniFile {
public:
    // Longest text, terminating NUL included, that the formatting setters and
    // numeric getters produce. A longer text is refused, never cut.
    static const unsigned FORMAT_BUFFER_SIZE = 2048;

    explicit CIniFile(const std::string &path);
    virtual ~CIniFile();

    void setPath(const std::string &path);

    // Adds the file's content to what is held (it does not clear first).
    // False when the file cannot be opened (nothing printed, nothing changed),
    // when a line starts with an unprintable byte (the lines before it stay
    // loaded), or when no section exists afterwards.
    bool load();
    // Rewrites the whole file, every line ended by CR LF and every comment
    // introduced by ';'. False when the file cannot be opened or written.
    bool save();

    int findSection(const std::string &name) const;
    int findEntry(unsigned section, const std::string &name) const;

    // Appends a new, empty section even when the name exists already.
    unsigned addSection(const std::string &name);
    unsigned sectionCount() const;
    std::string sectionName(unsigned section) const;

    unsigned entryCount(unsigned section) const;
    unsigned entryCount(const std::string &section) const;
    std::string entryName(unsigned section, unsigned entry) const;
    std::string entryName(const std::string &section, unsigned entry) const;

    void setEntryAt(unsigned section, unsigned entry, const std::string &value);
    // Replaces the value of an existing entry (its stored name stays). A
    // missing section or entry is created when `create` is set, else the
    // answer is false and nothing changes.
    bool setEntry(const std::string &section, const std::string &name, const std::string &value,
                  bool create = true);
    // Store "%d", "%f" or the formatted text, creating what is missing. A text
    // of FORMAT_BUFFER_SIZE bytes or more is refused: false, nothing changed.
    bool setEntryInt(const std::string &section, const std::string &name, int value);
    bool setEntryReal(const std::string &section, const std::string &name, double value);
    bool setEntryFormat(const std::string &section, const std::string &name, const char *format, ...)
        CINIFILE_PRINTF(4, 5);

    std::string getEntryAt(unsigned section, unsigned entry, const std::string &def = "") const;
    std::string getEntry(const std::string &section, const std::string &name,
                         const std::string &def = "") const;
    // The default counts only when the entry is missing: an empty or
    // non-numeric value gives 0. Integers beyond the range of int are held at
    // INT_MIN or INT_MAX.
    int getEntryInt(const std::string &section, const std::string &name, int def = 0) const;
    // The default passes through "%f", so it keeps six decimals.
    double getEntryReal(const std::string &section, const std::string &name, double def = 0.0) const;
    // sscanf of the value with the caller's format and pointers; 0 without
    // scanning when the entry is missing or its value is empty. The value is
    // scanned in place, whatever its length; a %s or %[ conversion needs a
    // width that fits the caller's buffer.
    int scanEntry(const std::string &section, const std::string &name, const char *format, ...) const
        CINIFILE_SCANF(4, 5);

    bool removeEntry(const std::string &section, const std::string &name);
    // Removes the first section of that name, with its entries and comments.
    bool removeSection(const std::string &name);
    void clearAll();

    void addHeaderComment(const std::string &text);
    unsigned headerCommentCount() const;
    std::string headerComment(unsigned index) const;
    bool removeHeaderComment(unsigned index);

    unsigned sectionCommentCount(unsigned section) const;
    unsigned sectionCommentCount(const std::string &section) const;
    bool addSectionComment(unsigned section, const std::string &text);
    bool addSectionComment(const std::string &section, const std::string &text);
    std::string sectionComment(unsigned section, unsigned comment) const;
    std::string sectionComment(const std::string &section, unsigned comment) const;
    bool removeSectionComment(unsigned section, unsigned comment);
    bool removeSectionComment(const std::string &section, unsigned comment);
    bool clearSectionComments(unsigned section);
    bool clearSectionComments(const std::string &section);

    // Lower-cased byte by byte (in the C library's current locale) while
    // caseInsensitive is 1; a plain copy otherwise.
    std::string foldCase(const std::string &text) const;

private:
    void takeLine(const std::string &line, std::string &currentSection);
    bool namesMatch(const std::string &a, const std::string &b) const;
    IniSection *sectionAt(unsigned section);
    const IniSection *sectionAt(unsigned section) const;

    int caseInsensitive;                   // 1: names compare folded; set once by the constructor
    std::string path;                      // file that load reads and save writes
    std::vector<IniSection> sections;      // same order and length as sectionNames
    std::vector<std::string> sectionNames; // names as written in the file
    std::vector<std::string> headerComments; // comments standing before the first section
};

#endif
