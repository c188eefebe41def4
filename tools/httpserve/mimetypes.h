// Content-Type of a static file by its extension.
#pragma once

#include <string_view>

namespace kvserve {

// The media type for a lower-case extension with its dot (".html");
// application/octet-stream for any other.
std::string_view ContentTypeFor(std::string_view lowerExtension);

}  // namespace kvserve
