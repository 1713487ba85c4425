#pragma once
// The files the client writes in the working folder: the cookie file, which
// holds the login session, and the debug dumps, which hold server answers
// (the transfer server's credentials among them). Both are the user's alone:
// created 0600, never through a link, never into a file someone else made.

#include <libxml/tree.h>

#include <functional>
#include <string>

namespace qz::detail {

// Creates the cookie file 0600 when it is missing, with a header line that
// is written and read back. Returns "" when the file is safe to hand to
// libcurl, else why not ("is a symbolic link", "cannot be created: ..."): an
// existing file must be a regular file of this user that only they can read,
// since libcurl keeps the mode of a file it finds and writes through links,
// and one that can be opened for reading and writing.
std::string prepareCookieFile(const std::string& path);

// Writes the debug dumps of one answer under the first name from `nextName`
// that is free: name + ".raw" (the body as received), ".txt" (the answer
// text) and, when there is a document, ".xml" (the document, indented, in
// UTF-8). Every file is created new, never through a link: when the ".raw"
// name is taken (an earlier run's dump, a planted link) the next name is
// tried; a ".txt" or ".xml" name that is taken leaves that dump out. The
// password attribute of the "ftp" element ("p", by local name, any prefix)
// reads "********" in all three, and so does every other occurrence of the
// password that the engine setup reads from `document`. Nothing reaches the
// standard streams.
void writeDebugDumps(const std::function<std::string()>& nextName, const std::string& received, const std::string& text,
                     xmlDoc* document);

// `text` with the value of each "p" attribute of an "ftp" element (both by
// local name, whatever the prefix) replaced by "********", and then every
// occurrence of `password` (as is and as written in an XML attribute) too.
std::string hideTransferPassword(const std::string& text, const std::string& password);

}  // namespace qz::detail
