// The web page's files, built into the program (embed_assets.cmake), so that
// the page works on a network with no way out.
#pragma once

#include <cstddef>

namespace wexread {

struct WebAsset {
  const char* path;  // "/", "/app.js", ...
  const char* type;  // the Content-Type
  const unsigned char* data;
  std::size_t size;
};

extern const WebAsset kWebAssets[];
extern const std::size_t kWebAssetCount;

}  // namespace wexread
