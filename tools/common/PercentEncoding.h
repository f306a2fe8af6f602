#pragma once
// Manifest paths as they go into a request URL. Portable C++17.

#include <string>
#include <string_view>

namespace percent_encoding {

// A UTF-8 path as a URL path: '/' and the unreserved characters (A-Z a-z 0-9 - . _ ~) as they are, every other
// byte as %XX in upper-case hex. Never fails; any bytes give ASCII text.
std::string EncodePath(std::string_view utf8Path);

}  // namespace percent_encoding
