// The records of the shared terminal files in text mode: each record ends
// at a line feed, and 0x01 inside one stands for a line feed of the data.
#ifndef QUORVANE_TESTS_TERM_RECORDS_H
#define QUORVANE_TESTS_TERM_RECORDS_H

#include <string>

namespace kit {

// The data of a text-record file: the records' data put back to back, as the
// operator program reads it. An unterminated last record is taken as it is.
inline std::string decodeTextRecords(const std::string &file)
{
    std::string data;
    data.reserve(file.size());
    for (char c : file)
        if (c != '\n')
            data += c == '\x01' ? '\n' : c;
    return data;
}

// The text records that carry data, one per line of it, as an operator
// program appends them.
inline std::string encodeTextRecords(const std::string &data)
{
    std::string records;
    for (size_t at = 0; at < data.size();) {
        const size_t nl = data.find('\n', at);
        const size_t end = nl == std::string::npos ? data.size() : nl;
        records.append(data, at, end - at);
        records += nl == std::string::npos ? "\n" : "\x01\n";
        at = end + 1;
    }
    return records;
}

} // namespace kit

#endif
