// The preview cache: a screen-sized JPEG of a picture (long side 1600 pixels,
// EXIF orientation applied, an embedded colour profile turned into sRGB),
// made on first request and kept on disk until its source changes.
//
// Design note.
// - On disk: one file per source in the cache's folder, named after the
//   SHA-256 of the source's full path (32 hex digits and ".JPG"). A preview
//   carries its source's modification time as its own; it is current while
//   the two are equal, and is made again (under the same name) otherwise.
//   Each is written to a temporary file beside it, given its time, then
//   renamed into place: a reader sees the old preview or the new one, and a
//   crash leaves at most a temporary file, never half a preview. The folder
//   is made again when it has gone (the thumbnail cache's Clear empties it).
// - Threads: any thread may ask. Previews are made outside any lock, at most
//   one per processor at a time over all caches (each holds a decoded
//   full-size picture); a second request for a preview being made waits for
//   it instead of making it again.
// - Limits: the picture limits of ImageLimits.h, through the loader.
#pragma once

#include <ctime>
#include <string>
#include <utility>

class TPreviewCache {
 public:
  // Longest side of a preview; smaller pictures keep their size.
  static constexpr int kLongSide = 1600;
  // JPEG quality of the previews.
  static constexpr int kQuality = 85;

  // folder: where previews are kept (a "/" is added when missing). Nothing
  // is touched before the first preview is made.
  explicit TPreviewCache(std::string folder);

  const std::string& Folder() const { return folder_; }

  // The full path of the current preview of sourcePath, made now when it is
  // missing or stale. Empty when sourcePath is not a regular file with a
  // picture extension (IsSupportedPicture), or its preview cannot be made.
  std::string GetPreview(const std::string& sourcePath) const;

  // The preview's file name for a source path.
  static std::string PreviewName(const std::string& sourcePath);
  // The preview size of a width x height picture.
  static std::pair<int, int> PreviewSize(int width, int height);
  // The preview of a picture file as JPEG bytes; empty, with error set, on
  // any failure.
  static std::string MakePreview(const std::string& sourcePath, std::string& error);

 private:
  std::string folder_;
};

// Lowercase hex SHA-256 of bytes.
std::string Sha256Hex(const std::string& bytes);
