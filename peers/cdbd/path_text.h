// Splitting of the command line's path text, and XML escaping, shared by the server and the
// command line's operational reads: "/a/b{k \"x y\"}/c" into elements and a key part into its keys.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace cdbd {

// "/a/b{k 1}/c" into "a", "b{k 1}", "c": braces and quotes stay together with their element.
std::vector<std::string> split_elems(const std::string &path);

// The text between an element's braces ("k \"x y\"") into its keys ("k", "x y"); blanks
// separate keys outside quotes, and "" is an empty key.
std::vector<std::string> split_key_text(const std::string &keys);

// Text as XML character data or attribute value: <, >, & and " escaped.
std::string xml_escape(std::string_view s);

}  // namespace cdbd
