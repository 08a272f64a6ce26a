#include "CIniFile.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

// The four characters that give a line its meaning; the first one found wins.
const char LINE_MARKS[] = ";#[=";

// The text of a printf-style format, or an empty string when it does not fit
// the format buffer (a single number always fits).
std::string printed(const char *format, ...) CINIFILE_PRINTF(1, 2);
std::string printed(const char *format, ...)
{
    char buf[CIniFile::FORMAT_BUFFER_SIZE];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (n < 0 || static_cast<unsigned>(n) >= sizeof buf)
        return std::string();
    return std::string(buf, static_cast<std::string::size_type>(n));
}

// atoi without its undefined result for numbers beyond int: strtol saturates
// at the range of long, and that is narrowed to the range of int here.
int integerOf(const std::string &text)
{
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

} // namespace

CIniFile::CIniFile(const std::string &path) : caseInsensitive(1), path(path)
{
}

CIniFile::~CIniFile() = default;

void CIniFile::setPath(const std::string &newPath)
{
    path = newPath;
}

bool CIniFile::load()
{
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in.is_open())
        return false;

    std::string current; // entries before any header go to the section named ""
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        // isprint takes the byte as unsigned (a negative argument is undefined
        // behaviour), while the message shows it as the signed char it was
        // read into, so 0xEF reads as -17.
        const unsigned char first = static_cast<unsigned char>(line[0]);
        if (!std::isprint(first)) {
            std::printf("Failing on char %d\n", static_cast<int>(static_cast<signed char>(first)));
            return false;
        }
        takeLine(line, current);
    }
    return !sections.empty();
}

// One printable, non-empty line: a comment, a section header, an entry, or
// nothing. Text before the mark, and after the last ']' of a header, is
// ignored; the rest is taken untrimmed.
void CIniFile::takeLine(const std::string &line, std::string &current)
{
    const std::string::size_type mark = line.find_first_of(LINE_MARKS);
    if (mark == std::string::npos)
        return;

    switch (line[mark]) {
    case '[': {
        const std::string::size_type close = line.rfind(']');
        if (close == std::string::npos || close < mark)
            return;
        current = line.substr(mark + 1, close - mark - 1);
        // A name seen before makes a second, empty section here, while what
        // follows still lands in the first section of that name: lookups by
        // name always find the first one.
        addSection(current);
        break;
    }
    case '=':
        setEntry(current, line.substr(0, mark), line.substr(mark + 1), true);
        break;
    default:
        if (sections.empty())
            addHeaderComment(line.substr(mark + 1));
        else
            addSectionComment(current, line.substr(mark + 1));
        break;
    }
}

bool CIniFile::save()
{
    std::ofstream out(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!out.is_open())
        return false;

    for (const std::string &c : headerComments)
        out << ';' << c << "\r\n";
    if (!headerComments.empty())
        out << "\r\n";

    for (std::vector<IniSection>::size_type i = 0; i < sections.size(); ++i) {
        out << '[' << sectionNames[i] << "]\r\n";
        for (const std::string &c : sections[i].comments)
            out << ';' << c << "\r\n";
        for (std::vector<std::string>::size_type e = 0; e < sections[i].entryNames.size(); ++e)
            out << sections[i].entryNames[e] << '=' << sections[i].entryValues[e] << "\r\n";
        out << "\r\n";
    }

    // A full disk shows only when the last block is flushed: answer false
    // rather than claim a file that was not written.
    out.close();
    return !out.fail();
}

bool CIniFile::namesMatch(const std::string &a, const std::string &b) const
{
    if (a.size() != b.size())
        return false;
    if (caseInsensitive != 1)
        return a == b;
    for (std::string::size_type i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

IniSection *CIniFile::sectionAt(unsigned section)
{
    return section < sections.size() ? &sections[section] : nullptr;
}

const IniSection *CIniFile::sectionAt(unsigned section) const
{
    return section < sections.size() ? &sections[section] : nullptr;
}

int CIniFile::findSection(const std::string &name) const
{
    for (std::vector<std::string>::size_type i = 0; i < sectionNames.size(); ++i) {
        if (namesMatch(sectionNames[i], name))
            return static_cast<int>(i);
    }
    return -1;
}

int CIniFile::findEntry(unsigned section, const std::string &name) const
{
    const IniSection *s = sectionAt(section);
    if (!s)
        return -1;
    for (std::vector<std::string>::size_type i = 0; i < s->entryNames.size(); ++i) {
        if (namesMatch(s->entryNames[i], name))
            return static_cast<int>(i);
    }
    return -1;
}

unsigned CIniFile::addSection(const std::string &name)
{
    sections.push_back(IniSection());
    sectionNames.push_back(name);
    return static_cast<unsigned>(sectionNames.size() - 1);
}

unsigned CIniFile::sectionCount() const
{
    return static_cast<unsigned>(sections.size());
}

std::string CIniFile::sectionName(unsigned section) const
{
    return section < sectionNames.size() ? sectionNames[section] : std::string();
}

unsigned CIniFile::entryCount(unsigned section) const
{
    const IniSection *s = sectionAt(section);
    return s ? static_cast<unsigned>(s->entryNames.size()) : 0;
}

// The by-name overloads hand findSection's -1 on as an index, where it is
// out of range like any other bad index.
unsigned CIniFile::entryCount(const std::string &section) const
{
    return entryCount(static_cast<unsigned>(findSection(section)));
}

std::string CIniFile::entryName(unsigned section, unsigned entry) const
{
    const IniSection *s = sectionAt(section);
    if (!s || entry >= s->entryNames.size())
        return std::string();
    return s->entryNames[entry];
}

std::string CIniFile::entryName(const std::string &section, unsigned entry) const
{
    return entryName(static_cast<unsigned>(findSection(section)), entry);
}

void CIniFile::setEntryAt(unsigned section, unsigned entry, const std::string &value)
{
    IniSection *s = sectionAt(section);
    if (s && entry < s->entryValues.size())
        s->entryValues[entry] = value;
}

bool CIniFile::setEntry(const std::string &section, const std::string &name, const std::string &value,
                        bool create)
{
    int s = findSection(section);
    if (s < 0) {
        if (!create)
            return false;
        s = static_cast<int>(addSection(section));
    }
    IniSection &sec = sections[static_cast<unsigned>(s)];
    const int e = findEntry(static_cast<unsigned>(s), name);
    if (e < 0) {
        if (!create)
            return false;
        sec.entryNames.push_back(name);
        sec.entryValues.push_back(value);
        return true;
    }
    sec.entryValues[static_cast<unsigned>(e)] = value;
    return true;
}

bool CIniFile::setEntryInt(const std::string &section, const std::string &name, int value)
{
    return setEntryFormat(section, name, "%d", value);
}

bool CIniFile::setEntryReal(const std::string &section, const std::string &name, double value)
{
    return setEntryFormat(section, name, "%f", value);
}

bool CIniFile::setEntryFormat(const std::string &section, const std::string &name, const char *format, ...)
{
    char buf[FORMAT_BUFFER_SIZE];
    va_list ap;
    va_start(ap, format);
    const int n = std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    // A value cut at the buffer's end would be stored as if whole; refusing
    // it leaves the old value, and the caller learns of it.
    if (n < 0 || static_cast<unsigned>(n) >= sizeof buf)
        return false;
    return setEntry(section, name, std::string(buf, static_cast<std::string::size_type>(n)), true);
}

std::string CIniFile::getEntryAt(unsigned section, unsigned entry, const std::string &def) const
{
    const IniSection *s = sectionAt(section);
    if (!s || entry >= s->entryValues.size())
        return def;
    return s->entryValues[entry];
}

std::string CIniFile::getEntry(const std::string &section, const std::string &name, const std::string &def) const
{
    const int s = findSection(section);
    if (s < 0)
        return def;
    return getEntryAt(static_cast<unsigned>(s), static_cast<unsigned>(findEntry(static_cast<unsigned>(s), name)),
                      def);
}

int CIniFile::getEntryInt(const std::string &section, const std::string &name, int def) const
{
    return integerOf(getEntry(section, name, printed("%d", def)));
}

double CIniFile::getEntryReal(const std::string &section, const std::string &name, double def) const
{
    return std::strtod(getEntry(section, name, printed("%f", def)).c_str(), nullptr);
}

int CIniFile::scanEntry(const std::string &section, const std::string &name, const char *format, ...) const
{
    const int s = findSection(section);
    if (s < 0)
        return 0;
    const int e = findEntry(static_cast<unsigned>(s), name);
    if (e < 0)
        return 0;
    const std::string &value = sections[static_cast<unsigned>(s)].entryValues[static_cast<unsigned>(e)];
    if (value.empty())
        return 0;
    // Scanned where it is stored: a copy into a fixed buffer would have to be
    // cut or would overflow on a long value.
    va_list ap;
    va_start(ap, format);
    const int n = std::vsscanf(value.c_str(), format, ap);
    va_end(ap);
    return n;
}

bool CIniFile::removeEntry(const std::string &section, const std::string &name)
{
    const int s = findSection(section);
    if (s < 0)
        return false;
    const int e = findEntry(static_cast<unsigned>(s), name);
    if (e < 0)
        return false;
    IniSection &sec = sections[static_cast<unsigned>(s)];
    sec.entryNames.erase(sec.entryNames.begin() + e);
    sec.entryValues.erase(sec.entryValues.begin() + e);
    return true;
}

bool CIniFile::removeSection(const std::string &name)
{
    const int s = findSection(name);
    if (s < 0)
        return false;
    sections.erase(sections.begin() + s);
    sectionNames.erase(sectionNames.begin() + s);
    return true;
}

void CIniFile::clearAll()
{
    sections.clear();
    sectionNames.clear();
    headerComments.clear();
}

void CIniFile::addHeaderComment(const std::string &text)
{
    headerComments.push_back(text);
}

unsigned CIniFile::headerCommentCount() const
{
    return static_cast<unsigned>(headerComments.size());
}

std::string CIniFile::headerComment(unsigned index) const
{
    return index < headerComments.size() ? headerComments[index] : std::string();
}

bool CIniFile::removeHeaderComment(unsigned index)
{
    if (index >= headerComments.size())
        return false;
    headerComments.erase(headerComments.begin() + index);
    return true;
}

unsigned CIniFile::sectionCommentCount(unsigned section) const
{
    const IniSection *s = sectionAt(section);
    return s ? static_cast<unsigned>(s->comments.size()) : 0;
}

unsigned CIniFile::sectionCommentCount(const std::string &section) const
{
    return sectionCommentCount(static_cast<unsigned>(findSection(section)));
}

bool CIniFile::addSectionComment(unsigned section, const std::string &text)
{
    IniSection *s = sectionAt(section);
    if (!s)
        return false;
    s->comments.push_back(text);
    return true;
}

bool CIniFile::addSectionComment(const std::string &section, const std::string &text)
{
    return addSectionComment(static_cast<unsigned>(findSection(section)), text);
}

std::string CIniFile::sectionComment(unsigned section, unsigned comment) const
{
    const IniSection *s = sectionAt(section);
    if (!s || comment >= s->comments.size())
        return std::string();
    return s->comments[comment];
}

std::string CIniFile::sectionComment(const std::string &section, unsigned comment) const
{
    return sectionComment(static_cast<unsigned>(findSection(section)), comment);
}

bool CIniFile::removeSectionComment(unsigned section, unsigned comment)
{
    IniSection *s = sectionAt(section);
    if (!s || comment >= s->comments.size())
        return false;
    s->comments.erase(s->comments.begin() + comment);
    return true;
}

bool CIniFile::removeSectionComment(const std::string &section, unsigned comment)
{
    return removeSectionComment(static_cast<unsigned>(findSection(section)), comment);
}

bool CIniFile::clearSectionComments(unsigned section)
{
    IniSection *s = sectionAt(section);
    if (!s)
        return false;
    s->comments.clear();
    return true;
}

bool CIniFile::clearSectionComments(const std::string &section)
{
    return clearSectionComments(static_cast<unsigned>(findSection(section)));
}

std::string CIniFile::foldCase(const std::string &text) const
{
    std::string folded(text);
    if (caseInsensitive == 1) {
        for (char &c : folded)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return folded;
}
