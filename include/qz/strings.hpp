#pragma once
// Small string functions of the request code.
//
//   url_encode("a b+c") == "a%20b%2Bc"
//   starts_with("<?xml version", "<?xml") == true
//   ends_with("x/getPickupSettings.do", "/getPickupSettings.do") == true

#include <string>

// Escapes every byte but letters, digits and "-._~" as "%XX" (upper-case hex).
std::string url_encode(const std::string& text);
bool starts_with(const std::string& text, const std::string& prefix);
bool ends_with(const std::string& text, const std::string& suffix);
