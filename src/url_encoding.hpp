#pragma once
// The pieces of url_encode, for bodies that are encoded as they are read.
//
//   std::string body = "logs=";
//   body.reserve(body.size() + qz::detail::urlEncodedSize(text.data(), text.size()));
//   qz::detail::appendUrlEncoded(body, text.data(), text.size());   // body == "logs=" + url_encode(text)

#include <cstddef>
#include <string>

namespace qz::detail {

// The length of url_encode of these bytes, without building it.
std::size_t urlEncodedSize(const char* data, std::size_t size);

// Appends url_encode of these bytes to `out`. Any length: libcurl escapes at
// most 24 MB of output in one call, so longer texts go in pieces.
void appendUrlEncoded(std::string& out, const char* data, std::size_t size);

}  // namespace qz::detail
