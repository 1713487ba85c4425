#pragma once
// What a failed request says about the server and the file: libcurl's result
// together with the server's last reply line decide.
//
//   if (storageRefused(result, channel.lastReply)) ...   // out of room: same bytes will not fit
//   if (!worthRetrying(result, channel.lastReply)) ...   // the file fails at once

#include <curl/curl.h>

#include <string>

namespace qz {

// Errors that another attempt cannot mend: the server refused us or the file
// for good (a 5xx reply), or the request itself is wrong.
bool worthRetrying(CURLcode code, const std::string& lastReply);

// The server is out of room for the file: 452 (insufficient storage) or 552
// (storage allocation exceeded). Not a broken connection: sending the same
// bytes again will not make room.
bool storageRefused(CURLcode code, const std::string& lastReply);

// 421 ("Service not available, closing control connection"): the server is
// going down or restarting, which is no fault of the file at hand; it is
// away as much as one that does not answer at all. libcurl reports it as a
// timeout, which it is not.
bool serviceUnavailable(const std::string& lastReply);

// Results of a connection that the server dropped before saying anything.
bool droppedUnheard(CURLcode code);

}  // namespace qz
