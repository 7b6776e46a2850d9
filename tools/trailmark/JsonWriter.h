// JSON output for the `trailmark` subcommands' --json modes.
//
// CJsonWriter builds one JSON document into a string, inserting commas and
// quoting texts with JsonString (texts/JsonText.h), so that a subcommand only
// says what goes where. One writer per document; not shared between threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "texts/JsonText.h"

class CJsonWriter {
public:
    // With a key inside an object; without one at the top or inside an array.
    void BeginObject(const char* key = nullptr);
    void EndObject();
    void BeginArray(const char* key = nullptr);
    void EndArray();

    void String(const char* key, const std::string& value);
    void Number(const char* key, uint64_t value);
    void Signed(const char* key, int64_t value);
    void Real(const char* key, double value);  // three decimals
    void Bool(const char* key, bool value);
    void Null(const char* key);

    const std::string& Text() const { return m_strText; }

private:
    void Prefix(const char* key);

    std::string m_strText;
    std::vector<bool> m_bFirstStack;  // per open container: nothing written in it yet
};
