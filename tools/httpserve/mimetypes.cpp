#include "mimetypes.h"

#include <array>
#include <utility>

namespace kvserve {

std::string_view ContentTypeFor(std::string_view lowerExtension) {
  using Entry = std::pair<std::string_view, std::string_view>;
  static constexpr std::array<Entry, 37> kTypes = {{
      {".html", "text/html"},         {".htm", "text/html"},
      {".txt", "text/plain"},         {".css", "text/css"},
      {".csv", "text/csv"},           {".js", "text/javascript"},
      {".mjs", "text/javascript"},    {".json", "application/json"},
      {".xml", "text/xml"},           {".xsl", "text/xml"},
      {".svg", "image/svg+xml"},      {".png", "image/png"},
      {".gif", "image/gif"},          {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},        {".bmp", "image/bmp"},
      {".ico", "image/x-icon"},       {".webp", "image/webp"},
      {".tif", "image/tiff"},         {".tiff", "image/tiff"},
      {".pdf", "application/pdf"},    {".zip", "application/zip"},
      {".gz", "application/gzip"},    {".rtf", "application/rtf"},
      {".doc", "application/msword"}, {".xls", "application/vnd.ms-excel"},
      {".wasm", "application/wasm"},  {".woff", "font/woff"},
      {".woff2", "font/woff2"},       {".ttf", "font/ttf"},
      {".mp3", "audio/mpeg"},         {".wav", "audio/wav"},
      {".ogg", "audio/ogg"},          {".mp4", "video/mp4"},
      {".webm", "video/webm"},        {".avi", "video/x-msvideo"},
      {".md", "text/markdown"},
  }};
  for (const Entry& entry : kTypes)
    if (entry.first == lowerExtension) return entry.second;
  return "application/octet-stream";
}

}  // namespace kvserve
