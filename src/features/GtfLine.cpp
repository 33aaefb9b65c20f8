#include "GtfLine.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// A coordinate column: decimal digits only, from 1 to MAX_GTF_COORDINATE; 0 for anything else
// (no sign, no blanks, no empty text: strtoul would read "-100" as a huge number).
unsigned long parse_coordinate(const char* text) {
    unsigned long value = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<unsigned long>(*p - '0');
        if (value > MAX_GTF_COORDINATE)
            return 0;
    }
    return *p == '\0' && p != text ? value : 0;
}

} // namespace

bool parseGtfLine(GTFLine& gtfLine, char* line) {
    char* comment = std::strchr(line, '#');
    if (comment)
        *comment = '\0';
    if (*line == '\0')
        return false;

    char* columns[9];
    columns[0] = line;
    char* p = line;
    for (int tab = 1; tab <= 8; ++tab) {
        p = std::strchr(p, '\t');
        if (!p)
            return false;
        *p++ = '\0';
        // Each of the first seven columns after a tab must have at least a character left.
        if (tab < 8 && *p == '\0')
            return false;
        columns[tab] = p;
    }
    gtfLine.seqname = columns[0];
    gtfLine.source = columns[1];
    gtfLine.feature = columns[2];
    gtfLine.start = parse_coordinate(columns[3]);
    gtfLine.end = parse_coordinate(columns[4]);
    gtfLine.badCoordinate = nullptr;
    gtfLine.badCoordinateText = nullptr;
    if (gtfLine.start == 0 || gtfLine.end == 0) {
        gtfLine.badCoordinate = gtfLine.start == 0 ? "start" : "end";
        gtfLine.badCoordinateText = gtfLine.start == 0 ? columns[3] : columns[4];
    }
    gtfLine.score =
        std::strcmp(columns[5], ".") == 0 ? std::nan("") : std::strtod(columns[5], nullptr);
    gtfLine.strand = columns[6][0];
    gtfLine.frame = std::strtoul(columns[7], nullptr, 10);
    gtfLine.attributes = columns[8];
    return true;
}

std::string getAttribute(const GTFLine& gtfLine, const char* name) {
    return std::string(getAttributeView(gtfLine, name));
}

std::string_view getAttributeView(const GTFLine& gtfLine, const char* name) {
    if (!name || !gtfLine.attributes || *gtfLine.attributes == '\0')
        return {};
    const char* p = std::strstr(gtfLine.attributes, name);
    if (!p)
        return {};
    size_t nameLength = std::strlen(name);
    // strnlen bounds the scan: only "longer than name + 2" matters.
    if (strnlen(p, nameLength + 3) <= nameLength + 2)
        return {};
    const char* value;
    const char* stop;
    if (p[nameLength + 1] == '"') {
        value = p + nameLength + 2;
        stop = std::strchr(value, '"');
    } else {
        value = p + nameLength + 1;
        stop = std::strchr(value, ';');
    }
    if (!stop)
        return {};
    return std::string_view(value, static_cast<size_t>(stop - value));
}

void noopModifyFeature(std::string&, std::string&, GTFLine&, const std::vector<std::string>&,
                       const std::unordered_set<std::string>&, Logger&) {}
