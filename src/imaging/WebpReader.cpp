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

// The first frame of an animation, as BGRA on its canvas: decoded straight
// into its place on a transparent canvas (the first frame has nothing below
// it to blend with), so the canvas is the only picture held.
std::string DecodeFirstFrame(const WebPData& webp, Bitmap& out) {
  std::unique_ptr<WebPDemuxer, DemuxDeleter> demux(WebPDemux(&webp));
  if (!demux) return "WebP error: the animation cannot be read";
  const std::uint32_t width = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH);
  const std::uint32_t height = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT);
  if (!PictureSizeAllowed(width, height)) {
    return "Picture too large: " + std::to_string(width) + " x " + std::to_string(height) +
           " pixels";
  }
  WebPIterator frame;
  if (!WebPDemuxGetFrame(demux.get(), 1, &frame)) return "WebP error: the animation has no frame";
  const int x = frame.x_offset, y = frame.y_offset, w = frame.width, h = frame.height;
  std::string error;
  if (x < 0 || y < 0 || w < 1 || h < 1 || static_cast<std::uint32_t>(x + w) > width ||
      static_cast<std::uint32_t>(y + h) > height) {
    error = "WebP error: the first frame lies outside the canvas";
  } else {
    out.ResetForOverwrite(static_cast<int>(width), static_cast<int>(height), PixelFormat::Bgra32);
    std::memset(out.Pixels(), 0, out.Stride() * height);
    std::uint8_t* corner = out.Row(y) + static_cast<std::size_t>(x) * 4;
    // The frame's rows end where the canvas's last row ends.
    const std::size_t room =
        out.Stride() * static_cast<std::size_t>(h - 1) + static_cast<std::size_t>(w) * 4;
    if (!WebPDecodeBGRAInto(frame.fragment.bytes, frame.fragment.size, corner, room,
                            static_cast<int>(out.Stride()))) {
      error = "WebP error: the first frame cannot be decoded";
    }
  }
  WebPDemuxReleaseIterator(&frame);
  return error;
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
