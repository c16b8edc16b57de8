// SPDX-License-Identifier: Apache-2.0
// A small JSON value for dgfile-doctor's --json report: objects keep their
// members in insertion order, numbers are kept as their decimal text, and
// strings are written as valid UTF-8 whatever bytes they hold (file names
// need not be UTF-8).  Only the doctor uses it, on its one thread.
#pragma once

#include <concepts>
#include <string>
#include <utility>
#include <vector>

namespace doctor::json {

class Value {
public:
    Value() = default;  // null
    Value(bool b) : kind_(Kind::Bool), text_(b ? "true" : "false") {}
    template <std::integral T>
        requires(!std::same_as<T, bool>)
    Value(T n) : kind_(Kind::Number), text_(std::to_string(n)) {}
    Value(std::string s) : kind_(Kind::String), text_(std::move(s)) {}
    Value(const char* s) : kind_(Kind::String), text_(s != nullptr ? s : "") {}

    static Value Object() { return Value(Kind::Object); }
    static Value Array() { return Value(Kind::Array); }

    // Sets a member of an object (replacing one of the same name) or adds an
    // element to an array; returns *this.
    Value& Set(std::string key, Value value) {
        for (auto& member : members_) {
            if (member.first == key) {
                member.second = std::move(value);
                return *this;
            }
        }
        members_.emplace_back(std::move(key), std::move(value));
        return *this;
    }
    Value& Push(Value value) {
        members_.emplace_back(std::string(), std::move(value));
        return *this;
    }

    void Write(std::string& out) const;

private:
    enum class Kind { Null, Bool, Number, String, Object, Array };
    explicit Value(Kind kind) : kind_(kind) {}

    Kind kind_ = Kind::Null;
    std::string text_;
    std::vector<std::pair<std::string, Value>> members_;  // arrays: keys unused
};

// Appends `text` as a JSON string literal.  Bytes that do not form valid
// UTF-8 become U+FFFD, control characters \u escapes.
void WriteString(std::string& out, const std::string& text);

}  // namespace doctor::json
