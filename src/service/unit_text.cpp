#include "service/unit_text.h"

#include <cstring>

#include "service/unit_template.h"

namespace tovl {

namespace {

// ExecStart takes a C-style quoted word; % starts a specifier.
std::string QuoteForUnit(const std::string& quotedPath) {
    std::string path = quotedPath;
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"')
        path = path.substr(1, path.size() - 2);
    std::string out = "\"";
    for (char c : path) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '%':
                out += "%%";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}

}  // namespace

std::string ServiceUnitText(const char* name, const std::string& quotedImagePath) {
    const bool server = strcmp(name, "tovlserver") == 0;
    const std::string description = server ? "tovl serial port server (real ports over TCP/IP)"
                                           : "tovl serial port client (virtual ports over TCP/IP)";
    std::string text = kUnitTemplate;
    auto replace = [&text](const std::string& marker, const std::string& with) {
        for (size_t at = text.find(marker); at != std::string::npos;
             at = text.find(marker, at + with.size()))
            text.replace(at, marker.size(), with);
    };
    replace("@PROGRAM_LINES@\n", server ? kServerUnitLines : kClientUnitLines);
    replace("@DESCRIPTION@", description);
    replace("@EXEC_START@", QuoteForUnit(quotedImagePath));
    replace("@NAME@", name);
    return text;
}

}  // namespace tovl
