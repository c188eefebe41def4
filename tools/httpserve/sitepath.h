// The path of a request target, decoded and normalised into the segments of
// a site-relative path that can only name something under the site's root.
// Every form that could step outside the root or reach a file under another
// name than its own is refused rather than repaired: parent segments (also
// percent-encoded), backslashes, drive letters and other colons, NUL and
// control bytes, Windows wildcards, names that Windows would strip of
// trailing dots or spaces, and device names. No Windows header.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "httpparse.h"

namespace kvserve {

struct TargetPath {
  std::vector<std::string> segments;  // decoded, 8-bit as sent (normally UTF-8)
  bool trailingSlash = false;         // the path names a folder ("/" too)
  std::string query;                  // as sent, without "?"

  // "/" + the segments joined by "/" (+ "/" for a folder): the decoded path.
  std::string Path() const;
  // The same, percent-encoded again for a Location header.
  std::string EncodedPath() const;
};

// Decodes the target of a request (origin form, or absolute form whose
// scheme and authority are skipped). 400 on anything refused above.
Verdict ParseTarget(std::string_view target, TargetPath& out);

// Checks one decoded segment by the rules above.
Verdict CheckSegment(std::string_view segment);

// The extension of a name, lower-cased ASCII, with its dot ("" if none).
std::string LowerExtension(std::string_view name);

}  // namespace kvserve
