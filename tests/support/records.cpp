// SPDX-License-Identifier: Apache-2.0
#include "support/records.h"

#include <cctype>

#include "sandbox.h"

namespace support {

std::optional<Record> ParseRecord(const std::string& line) {
    Record r;
    std::size_t at = line.find(':');
    if (at == std::string::npos) return std::nullopt;
    r.host = line.substr(0, at++);
    auto number = [&](int& out) {
        std::size_t end = at < line.size() && line[at] == '-' ? at + 1 : at;
        const std::size_t first = end;
        while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) ++end;
        if (end == first) return false;
        out = std::stoi(line.substr(at, end - at));
        at = end;
        return true;
    };
    auto literal = [&](const std::string& text) {
        if (line.compare(at, text.size(), text) != 0) return false;
        at += text.size();
        return true;
    };
    if (!number(r.pid) || !literal(":") || !number(r.tid) || !literal(" [DGFILE DEBUG] ("))
        return std::nullopt;
    const std::size_t end = line.find_first_of(":()", at);
    if (end == std::string::npos || end == at || line[end] != ':') return std::nullopt;
    r.function = line.substr(at, end - at);
    at = end + 1;
    if (!number(r.line) || !literal(") ")) return std::nullopt;
    r.message = line.substr(at);
    return r;
}

std::vector<std::string> Messages(const std::string& text, const std::string& function) {
    std::vector<std::string> found;
    for (const std::string& line : sandbox::Lines(text))
        if (auto r = ParseRecord(line); r && r->function == function) found.push_back(r->message);
    return found;
}

std::vector<std::string> Shapes(const std::vector<std::string>& messages) {
    std::vector<std::string> shapes;
    for (const std::string& m : messages)
        shapes.push_back(m.rfind("size = ", 0) == 0 ? "timing " + m.substr(0, m.find(',')) : m);
    return shapes;
}

}  // namespace support
