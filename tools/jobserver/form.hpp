#pragma once
// Reading form-encoded request bodies and query strings, and writing the XML
// attribute texts of the answers.
//
//   formDecode("a+b%2Bc") == "a b+c"
//   splitForm("k=1&u=%41") -> {{"k", "1"}, {"u", "%41"}}   (values stay encoded)
//   xmlAttribute("a&b") == "a&amp;b"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace jobserver {

// "+" becomes a space and "%" with two hex digits that byte; any other "%"
// makes the text malformed (no value).
std::optional<std::string> formDecode(const std::string& encoded);

using FormFields = std::vector<std::pair<std::string, std::string>>;

// Splits on "&", then each part at its first "="; a part without "=" is a
// name with an empty value. Names and values are returned as sent.
FormFields splitForm(const std::string& text);

// The query string of a request target ("/a?x=1" gives "x=1").
std::string queryOf(const std::string& target);

// The first value of `name`, as sent, or none.
std::optional<std::string> findField(const FormFields& fields, const std::string& name);

// Escapes a text for a double-quoted XML attribute. Tab, line feed and
// carriage return become character references; other control bytes, which
// XML cannot carry at all, become "?".
std::string xmlAttribute(const std::string& text);

}  // namespace jobserver
