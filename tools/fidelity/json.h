// A reader for the tool's own --json output, so that its figures can be
// taken again from the per-round times that output carries, of one run or of
// several pooled. Numbers are read back to the bit that %.17g wrote.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct Json {
    enum class Kind { Null, Boolean, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;  // a string's value; for any other value, its source text
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;  // in the order written

    // An object's member, or nullptr.
    const Json *find(const std::string &key) const;
};

// One JSON value filling `text` (blanks aside); false, with `error` saying
// what and where, otherwise.
bool parse_json(const std::string &text, Json &value, std::string &error);
