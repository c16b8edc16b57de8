// SPDX-License-Identifier: Apache-2.0
// Reading the library's DEBUG records back from what a process printed or a
// log file holds: "host:pid:tid [DGFILE DEBUG] (function:line) message".
// Pure functions: any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace support {

struct Record {
    std::string host;
    int pid = 0;
    int tid = 0;
    std::string function;
    int line = 0;
    std::string message;
};

// The parts of one DEBUG record; nullopt for any other line.
std::optional<Record> ParseRecord(const std::string& line);

// The messages of the DEBUG records of `function` in `text`, in order;
// other lines are passed over.
std::vector<std::string> Messages(const std::string& text, const std::string& function);

// The messages with the variable parts of a timing record dropped
// ("size = 65536, ..." reads "timing size = 65536").
std::vector<std::string> Shapes(const std::vector<std::string>& messages);

}  // namespace support
