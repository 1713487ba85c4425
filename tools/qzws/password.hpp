#pragma once
// Where the command line takes the password from, so that it never has to
// appear on the command line itself.

#include <optional>
#include <string>

namespace qzcli {

// The password from QZWS_PASSWORD, else from the first line of
// `passwordFile` (when given), else from a prompt without echo when standard
// input is a terminal. Nothing when none of these has one. Raises
// std::runtime_error naming the file when it cannot be read.
std::optional<std::string> findPassword(const std::string& passwordFile, const std::string& prompt);

}  // namespace qzcli
