// GIF decoding through giflib: the first frame only (the other frames' pixels
// are never read), drawn on a white canvas the size of the logical screen;
// transparent pixels and the area outside the frame stay white.
#include "imaging/ImageLimits.h"
#include "imaging/OrvelGraphicLoader.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

struct GifSource {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos;
};

int ReadBytes(GifFileType* gif, GifByteType* out, int length) {
  auto* src = static_cast<GifSource*>(gif->UserData);
  const std::size_t n =
      std::min(static_cast<std::size_t>(std::max(length, 0)), src->size - src->pos);
  std::memcpy(out, src->data + src->pos, n);
  src->pos += n;
  return static_cast<int>(n);
}

class GifHolder {
 public:
  explicit GifHolder(GifSource* source) { gif = DGifOpen(source, ReadBytes, &openError); }
  ~GifHolder() {
    if (gif) DGifCloseFile(gif, nullptr);
  }
  GifHolder(const GifHolder&) = delete;
  GifHolder& operator=(const GifHolder&) = delete;

  std::string Error() const {
    const int code = gif ? gif->Error : openError;
    const char* text = GifErrorString(code);
    return std::string("GIF error: ") + (text ? text : "unknown error");
  }

  GifFileType* gif = nullptr;
  int openError = 0;
};

}  // namespace

std::string DecodeGif(const std::uint8_t* data, std::size_t size, Bitmap& bitmap) {
  GifSource source{data, size, 0};
  GifHolder h(&source);
  if (!h.gif) return h.Error();
  GifFileType* gif = h.gif;
  int transparent = -1;
  while (true) {
    GifRecordType type;
    if (DGifGetRecordType(gif, &type) == GIF_ERROR) return h.Error();
    if (type == TERMINATE_RECORD_TYPE) return "GIF file holds no picture";
    if (type == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return h.Error();
      if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4) {
        transparent = (block[1] & 1) ? block[4] : -1;
      }
      while (block) {
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return h.Error();
      }
      continue;
    }
    if (type != IMAGE_DESC_RECORD_TYPE) continue;
    if (DGifGetImageDesc(gif) == GIF_ERROR) return h.Error();
    break;
  }
  const GifImageDesc& frame = gif->Image;
  const ColorMapObject* map = frame.ColorMap ? frame.ColorMap : gif->SColorMap;
  if (!map || !map->Colors || map->ColorCount <= 0) return "GIF file has no colour table";
  int width = gif->SWidth;
  int height = gif->SHeight;
  if (width == 0 || height == 0) {  // no screen size: the frame's own extent
    width = frame.Left + frame.Width;
    height = frame.Top + frame.Height;
  }
  if (!PictureSizeAllowed(width, height) || !PictureSizeAllowed(frame.Width, frame.Height)) {
    return "Picture too large: " + std::to_string(width) + " x " + std::to_string(height) +
           " pixels";
  }
  // The frame's indices first: a cut or corrupt frame fails before the canvas
  // is made.
  const std::size_t frameWidth = static_cast<std::size_t>(frame.Width);
  auto indices = std::make_unique_for_overwrite<GifPixelType[]>(frameWidth * frame.Height);
  // Interlaced frames store rows in four passes.
  static constexpr int kStart[] = {0, 4, 2, 1};
  static constexpr int kStep[] = {8, 8, 4, 2};
  const int passes = frame.Interlace ? 4 : 1;
  for (int pass = 0; pass < passes; ++pass) {
    const int start = frame.Interlace ? kStart[pass] : 0;
    const int step = frame.Interlace ? kStep[pass] : 1;
    for (int row = start; row < frame.Height; row += step) {
      if (DGifGetLine(gif, indices.get() + row * frameWidth, frame.Width) == GIF_ERROR) {
        return h.Error();
      }
    }
  }
  Bitmap out(width, height, PixelFormat::Bgr24);
  for (int row = 0; row < frame.Height && frame.Top + row < height; ++row) {
    const GifPixelType* line = indices.get() + row * frameWidth;
    std::uint8_t* dst = out.Row(frame.Top + row);
    for (int i = 0; i < frame.Width && frame.Left + i < width; ++i) {
      const int x = frame.Left + i;
      const int index = line[i];
      if (index == transparent || index >= map->ColorCount) continue;
      const GifColorType& c = map->Colors[index];
      dst[x * 3] = c.Blue;
      dst[x * 3 + 1] = c.Green;
      dst[x * 3 + 2] = c.Red;
    }
  }
  bitmap = std::move(out);
  return {};
}
