// The files the gallery pages load from /.mirelo/assets/: style sheet,
// script and icons, compiled in from src/server/gallery/.
#pragma once

#include <cstddef>
#include <string_view>

struct TGalleryAsset {
  std::string_view Name;
  std::string_view Bytes;
};

extern const TGalleryAsset kGalleryAssetTable[];
extern const std::size_t kGalleryAssetTableSize;

// The asset of that exact name; null when there is none.
const TGalleryAsset* FindGalleryAsset(std::string_view name);
// Its Content-Type by the name's extension.
std::string_view GalleryAssetType(std::string_view name);
