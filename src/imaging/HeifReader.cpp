// HEIF decoding through libheif: HEIC (HEVC) and AVIF (AV1) files alike. The
// primary image comes back 24-bit, upright as the file's own rotation,
// mirroring and cropping describe it; alpha is dropped (colours as stored).
// The size the file declares is checked against the limits before anything
// is decoded, and libheif is told the same limit for every image it meets.
#include "imaging/ImageLimits.h"
#include "imaging/OrvelGraphicLoader.h"

#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace {

// libheif registers its codecs once per process; the library stays set up
// until the process ends.
void StartLibheif() {
  static std::once_flag once;
  std::call_once(once, [] { heif_init(nullptr); });
}

struct ContextDeleter {
  void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleDeleter {
  void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageDeleter {
  void operator()(heif_image* i) const { heif_image_release(i); }
};
struct OptionsDeleter {
  void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); }
};

// libaom decodes AV1 when present: dav1d, libheif's first choice, keeps a
// few bytes for good after some damaged files. Null: libheif chooses.
const char* AvifDecoder() {
  static const char* const id = []() -> const char* {
    const heif_decoder_descriptor* found[8];
    const int n = heif_get_decoder_descriptors(heif_compression_AV1, found, 8);
    for (int i = 0; i < n; ++i) {
      const char* name = heif_decoder_descriptor_get_id_name(found[i]);
      if (name && std::strcmp(name, "aom") == 0) return "aom";
    }
    return nullptr;
  }();
  return id;
}

std::string HeifError(const heif_error& error) {
  return std::string("HEIF error: ") + (error.message ? error.message : "unknown");
}

std::string TooLarge(long long width, long long height) {
  return "Picture too large: " + std::to_string(width) + " x " + std::to_string(height) + " pixels";
}

}  // namespace

std::string DecodeHeif(const std::uint8_t* data, std::size_t size, Bitmap& bitmap,
                       std::string* iccProfile) {
  StartLibheif();
  if (size < 12) return "HEIF error: file is truncated";
  std::unique_ptr<heif_context, ContextDeleter> context(heif_context_alloc());
  if (!context) return "HEIF decoder cannot start";
  heif_context_set_maximum_image_size_limit(context.get(), kMaxPictureSide);
  // Tiles are decoded on the calling thread: pictures are already made on
  // one thread each, as many at once as there are processors.
  heif_context_set_max_decoding_threads(context.get(), 0);
  heif_error error = heif_context_read_from_memory_without_copy(context.get(), data, size, nullptr);
  if (error.code != heif_error_Ok) return HeifError(error);

  heif_image_handle* rawHandle = nullptr;
  error = heif_context_get_primary_image_handle(context.get(), &rawHandle);
  if (error.code != heif_error_Ok) return HeifError(error);
  std::unique_ptr<heif_image_handle, HandleDeleter> handle(rawHandle);
  const int declaredWidth = heif_image_handle_get_width(handle.get());
  const int declaredHeight = heif_image_handle_get_height(handle.get());
  if (!PictureSizeAllowed(declaredWidth, declaredHeight)) {
    if (declaredWidth < 1 || declaredHeight < 1) return "Invalid image size!";
    return TooLarge(declaredWidth, declaredHeight);
  }

  std::string profile;
  const heif_color_profile_type profileType =
      heif_image_handle_get_color_profile_type(handle.get());
  if (iccProfile && (profileType == heif_color_profile_type_prof ||
                     profileType == heif_color_profile_type_rICC)) {
    const std::size_t profileSize = heif_image_handle_get_raw_color_profile_size(handle.get());
    if (profileSize > 0 && profileSize <= kMaxColourProfileBytes) {
      profile.resize(profileSize);
      if (heif_image_handle_get_raw_color_profile(handle.get(), profile.data()).code !=
          heif_error_Ok) {
        profile.clear();
      }
    }
  }

  // No image made on the way (a coded picture, a tile, a grid's canvas) may
  // be much larger than the picture declared: a few bytes of grid could
  // otherwise ask for a canvas of a hundred megapixels behind a small one.
  heif_context_set_maximum_image_size_limit(
      context.get(),
      std::min(kMaxPictureSide, std::max(declaredWidth, declaredHeight) + kMaxHeifOverhang));

  std::unique_ptr<heif_decoding_options, OptionsDeleter> options(heif_decoding_options_alloc());
  if (!options) return "HEIF decoder cannot start";
  options->convert_hdr_to_8bit = 1;
  options->decoder_id = AvifDecoder();
  heif_image* rawImage = nullptr;
  error = heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB,
                            heif_chroma_interleaved_RGB, options.get());
  if (error.code != heif_error_Ok) return HeifError(error);
  std::unique_ptr<heif_image, ImageDeleter> image(rawImage);

  const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
  const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
  if (!PictureSizeAllowed(width, height)) {
    if (width < 1 || height < 1) return "Invalid image size!";
    return TooLarge(width, height);
  }
  if (heif_image_get_bits_per_pixel(image.get(), heif_channel_interleaved) != 24) {
    return "HEIF error: unexpected pixel layout";
  }
  int stride = 0;
  const std::uint8_t* rgb =
      heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  if (!rgb || stride < width * 3) return "HEIF error: no pixels";

  Bitmap out;
  out.ResetForOverwrite(width, height, PixelFormat::Bgr24);
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* src = rgb + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride);
    std::uint8_t* dst = out.Row(y);
    for (int x = 0; x < width; ++x, src += 3, dst += 3) {
      dst[0] = src[2];
      dst[1] = src[1];
      dst[2] = src[0];
    }
  }
  bitmap = std::move(out);
  if (iccProfile) *iccProfile = std::move(profile);
  return {};
}

std::string DecodeHeif(const std::uint8_t* data, std::size_t size, Bitmap& bitmap) {
  return DecodeHeif(data, size, bitmap, nullptr);
}
