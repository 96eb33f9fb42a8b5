// WebP decoding through libwebp: still pictures, lossy or lossless, 24-bit,
// or 32-bit with their alpha kept (never composited); an animation gives its
// first frame at the size of its canvas. The size the file declares is
// checked against the limits before any pixel is decoded.
#include "imaging/ImageLimits.h"
#include "imaging/OrvelGraphicLoader.h"

#include <webp/decode.h>
#include <webp/demux.h>

#include <cstring>
#include <memory>

namespace {

struct DemuxDeleter {
  void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};
struct AnimDeleter {
  void operator()(WebPAnimDecoder* d) const { WebPAnimDecoderDelete(d); }
};

// The ICCP chunk of an extended file; empty when there is none.
std::string ReadProfile(const WebPData& webp) {
  std::unique_ptr<WebPDemuxer, DemuxDeleter> demux(WebPDemux(&webp));
  if (!demux) return {};
  if (!(WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS) & ICCP_FLAG)) return {};
  WebPChunkIterator chunk;
  std::string profile;
  if (WebPDemuxGetChunk(demux.get(), "ICCP", 1, &chunk)) {
    if (chunk.chunk.size > 0 && chunk.chunk.size <= kMaxColourProfileBytes) {
      profile.assign(reinterpret_cast<const char*>(chunk.chunk.bytes), chunk.chunk.size);
    }
    WebPDemuxReleaseChunkIterator(&chunk);
  }
  return profile;
}

// The first frame of an animation, as BGRA on its canvas.
std::string DecodeFirstFrame(const WebPData& webp, Bitmap& out) {
  WebPAnimDecoderOptions options;
  if (!WebPAnimDecoderOptionsInit(&options)) return "WebP decoder cannot start";
  options.color_mode = MODE_BGRA;
  options.use_threads = 0;
  std::unique_ptr<WebPAnimDecoder, AnimDeleter> decoder(WebPAnimDecoderNew(&webp, &options));
  if (!decoder) return "WebP error: the animation cannot be read";
  WebPAnimInfo info;
  if (!WebPAnimDecoderGetInfo(decoder.get(), &info))
    return "WebP error: the animation cannot be read";
  if (!PictureSizeAllowed(info.canvas_width, info.canvas_height)) {
    return "Picture too large: " + std::to_string(info.canvas_width) + " x " +
           std::to_string(info.canvas_height) + " pixels";
  }
  std::uint8_t* canvas = nullptr;
  int timestamp = 0;
  if (!WebPAnimDecoderGetNext(decoder.get(), &canvas, &timestamp) || !canvas) {
    return "WebP error: the first frame cannot be decoded";
  }
  const int width = static_cast<int>(info.canvas_width);
  const int height = static_cast<int>(info.canvas_height);
  out.ResetForOverwrite(width, height, PixelFormat::Bgra32);
  const std::size_t row = static_cast<std::size_t>(width) * 4;
  for (int y = 0; y < height; ++y) std::memcpy(out.Row(y), canvas + row * y, row);
  return {};
}

}  // namespace

std::string DecodeWebp(const std::uint8_t* data, std::size_t size, Bitmap& bitmap,
                       std::string* iccProfile) {
  WebPBitstreamFeatures features;
  const VP8StatusCode status = WebPGetFeatures(data, size, &features);
  if (status != VP8_STATUS_OK) {
    return status == VP8_STATUS_NOT_ENOUGH_DATA ? "WebP error: file is truncated"
                                                : "WebP error: not a WebP picture";
  }
  if (!PictureSizeAllowed(features.width, features.height)) {
    if (features.width < 1 || features.height < 1) return "Invalid image size!";
    return "Picture too large: " + std::to_string(features.width) + " x " +
           std::to_string(features.height) + " pixels";
  }
  const WebPData webp{data, size};
  Bitmap out;
  if (features.has_animation) {
    std::string error = DecodeFirstFrame(webp, out);
    if (!error.empty()) return error;
  } else {
    const bool alpha = features.has_alpha != 0;
    out.ResetForOverwrite(features.width, features.height,
                          alpha ? PixelFormat::Bgra32 : PixelFormat::Bgr24);
    const std::size_t bytes = out.Stride() * static_cast<std::size_t>(out.Height());
    const int stride = static_cast<int>(out.Stride());
    const std::uint8_t* done = alpha ? WebPDecodeBGRAInto(data, size, out.Pixels(), bytes, stride)
                                     : WebPDecodeBGRInto(data, size, out.Pixels(), bytes, stride);
    if (!done) return "WebP error: the picture cannot be decoded";
  }
  if (iccProfile) *iccProfile = ReadProfile(webp);
  bitmap = std::move(out);
  return {};
}

std::string DecodeWebp(const std::uint8_t* data, std::size_t size, Bitmap& bitmap) {
  return DecodeWebp(data, size, bitmap, nullptr);
}
