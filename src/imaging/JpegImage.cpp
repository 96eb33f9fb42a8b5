// JPEG decoding and encoding through libjpeg, and the EXIF orientation tag.
// libjpeg reports errors with longjmp: each setjmp sits in a small function
// whose locals are trivial, and the library struct is owned by a holder in the
// caller's frame, so no C++ destructor is ever skipped.
#include "imaging/JpegImage.h"

#include "base/FileUtil.h"
#include "imaging/ImageLimits.h"
#include "imaging/PictureFiles.h"

#include <jerror.h>
#include <jpeglib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

struct JpegError {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void ErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegError*>(cinfo->err);
  if (err->message[0] == '\0') (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

// Warnings are ignored, except those that say the data ended early or broke
// off: such a file is truncated or corrupt and fails.
void EmitMessage(j_common_ptr cinfo, int level) {
  if (level != -1) return;
  const int code = cinfo->err->msg_code;
  if (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER) ErrorExit(cinfo);
  ++cinfo->err->num_warnings;
}

void SetupError(JpegError& err) {
  jpeg_std_error(&err.pub);
  err.pub.error_exit = ErrorExit;
  err.pub.emit_message = EmitMessage;
  err.message[0] = '\0';
}

struct ScanLimit {
  jpeg_progress_mgr pub;
};

void CheckScans(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (dinfo->input_scan_number > kMaxJpegScans) {
    auto* err = reinterpret_cast<JpegError*>(cinfo->err);
    std::snprintf(err->message, sizeof err->message, "JPEG file has more than %d scans",
                  kMaxJpegScans);
    ErrorExit(cinfo);
  }
}

class DecompressHolder {
 public:
  DecompressHolder() {
    SetupError(err);
    info.err = &err.pub;
    progress.pub.progress_monitor = CheckScans;
  }
  ~DecompressHolder() {
    if (created) jpeg_destroy_decompress(&info);
  }
  DecompressHolder(const DecompressHolder&) = delete;
  DecompressHolder& operator=(const DecompressHolder&) = delete;

  jpeg_decompress_struct info{};
  JpegError err{};
  ScanLimit progress{};
  bool created = false;
};

class CompressHolder {
 public:
  CompressHolder() {
    SetupError(err);
    info.err = &err.pub;
  }
  ~CompressHolder() {
    if (created) jpeg_destroy_compress(&info);
    std::free(out);  // jpeg_mem_dest's buffer
  }
  CompressHolder(const CompressHolder&) = delete;
  CompressHolder& operator=(const CompressHolder&) = delete;

  jpeg_compress_struct info{};
  JpegError err{};
  bool created = false;
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
};

// Serves the bytes already read from a file, then reads the rest in blocks as
// the decoder asks, up to the size the file had when it was opened. Like the
// memory source, an early end gives the decoder an end marker after a warning
// (which fails the picture).
struct FileSource {
  static constexpr std::size_t kBlock = 64 * 1024;

  FileSource(const std::string& head, int file, std::size_t rest)
      : fd(file), left(rest), block(new JOCTET[kBlock]) {
    pub.next_input_byte = reinterpret_cast<const JOCTET*>(head.data());
    pub.bytes_in_buffer = head.size();
    pub.init_source = [](j_decompress_ptr) {};
    pub.fill_input_buffer = Fill;
    pub.skip_input_data = Skip;
    pub.resync_to_restart = jpeg_resync_to_restart;
    pub.term_source = [](j_decompress_ptr) {};
  }

  static boolean Fill(j_decompress_ptr cinfo) {
    auto* self = reinterpret_cast<FileSource*>(cinfo->src);
    ssize_t n = 0;
    if (self->left > 0) {
      do {
        n = ::read(self->fd, self->block.get(), std::min(kBlock, self->left));
      } while (n < 0 && errno == EINTR);
    }
    if (n > 0) self->left -= static_cast<std::size_t>(n);
    if (n <= 0) {
      WARNMS(cinfo, JWRN_JPEG_EOF);
      self->block[0] = 0xFF;
      self->block[1] = JPEG_EOI;
      n = 2;
    }
    self->pub.next_input_byte = self->block.get();
    self->pub.bytes_in_buffer = static_cast<std::size_t>(n);
    return TRUE;
  }

  static void Skip(j_decompress_ptr cinfo, long count) {
    if (count <= 0) return;
    jpeg_source_mgr* src = cinfo->src;
    while (static_cast<std::size_t>(count) > src->bytes_in_buffer) {
      count -= static_cast<long>(src->bytes_in_buffer);
      Fill(cinfo);
    }
    src->next_input_byte += count;
    src->bytes_in_buffer -= static_cast<std::size_t>(count);
  }

  jpeg_source_mgr pub{};  // first: the decoder's pointer is this object's
  int fd;
  std::size_t left;  // bytes still to read
  std::unique_ptr<JOCTET[]> block;
};

// Creates the decoder on the bytes (or on source, where given) and reads the
// header. The decoder is asked for blue-green-red rows, or CMYK rows for CMYK
// and YCCK files.
bool StartDecode(DecompressHolder& h, const std::uint8_t* data, std::size_t size,
                 jpeg_source_mgr* source = nullptr) {
  if (setjmp(h.err.jump)) return false;
  jpeg_create_decompress(&h.info);
  h.created = true;
  h.info.mem->max_memory_to_use = kMaxJpegDecoderMemory;
  h.info.progress = &h.progress.pub;
  if (source) {
    h.info.src = source;
  } else {
    jpeg_mem_src(&h.info, data, static_cast<unsigned long>(size));
  }
  jpeg_read_header(&h.info, TRUE);
  h.info.out_color_space =
      (h.info.jpeg_color_space == JCS_CMYK || h.info.jpeg_color_space == JCS_YCCK) ? JCS_CMYK
                                                                                   : JCS_EXT_BGR;
  jpeg_calc_output_dimensions(&h.info);
  return true;
}

// Decodes every row into rows (stride bytes apart) or, for CMYK output, each
// row into cmykRow and then converts it.
bool DecodeRows(DecompressHolder& h, std::uint8_t* rows, std::size_t stride, std::uint8_t* cmykRow,
                bool inverted) {
  if (setjmp(h.err.jump)) return false;
  jpeg_start_decompress(&h.info);
  while (h.info.output_scanline < h.info.output_height) {
    std::uint8_t* row = rows + static_cast<std::size_t>(h.info.output_scanline) * stride;
    JSAMPROW target = cmykRow ? cmykRow : row;
    if (jpeg_read_scanlines(&h.info, &target, 1) != 1) {
      ERREXIT(&h.info, JERR_INPUT_EOF);
    }
    if (cmykRow) {
      for (JDIMENSION x = 0; x < h.info.output_width; ++x) {
        const std::uint8_t* p = cmykRow + x * 4;
        // Adobe writes inverted CMYK (0 means full ink); others write it plain.
        const unsigned c = inverted ? p[0] : 255u - p[0];
        const unsigned m = inverted ? p[1] : 255u - p[1];
        const unsigned ye = inverted ? p[2] : 255u - p[2];
        const unsigned k = inverted ? p[3] : 255u - p[3];
        row[x * 3] = static_cast<std::uint8_t>((ye * k + 127) / 255);
        row[x * 3 + 1] = static_cast<std::uint8_t>((m * k + 127) / 255);
        row[x * 3 + 2] = static_cast<std::uint8_t>((c * k + 127) / 255);
      }
    }
  }
  jpeg_finish_decompress(&h.info);
  return true;
}

bool ReadHeaderOnly(DecompressHolder& h, const std::uint8_t* data, std::size_t size) {
  if (setjmp(h.err.jump)) return false;
  jpeg_create_decompress(&h.info);
  h.created = true;
  jpeg_mem_src(&h.info, data, static_cast<unsigned long>(size));
  jpeg_read_header(&h.info, TRUE);
  return true;
}

bool Encode(CompressHolder& h, const std::uint8_t* rows, std::size_t stride, int width, int height,
            int quality) {
  if (setjmp(h.err.jump)) return false;
  jpeg_create_compress(&h.info);
  h.created = true;
  jpeg_mem_dest(&h.info, &h.out, &h.outSize);
  h.info.image_width = static_cast<JDIMENSION>(width);
  h.info.image_height = static_cast<JDIMENSION>(height);
  h.info.input_components = 3;
  h.info.in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(&h.info);
  jpeg_set_quality(&h.info, quality, TRUE);
  jpeg_start_compress(&h.info, TRUE);
  while (h.info.next_scanline < h.info.image_height) {
    JSAMPROW row =
        const_cast<std::uint8_t*>(rows + static_cast<std::size_t>(h.info.next_scanline) * stride);
    jpeg_write_scanlines(&h.info, &row, 1);
  }
  jpeg_finish_compress(&h.info);
  return true;
}

// Decodes the picture of a decoder whose header has been read.
std::string DecodeStarted(DecompressHolder& h, Bitmap& bitmap) {
  const JDIMENSION width = h.info.output_width;
  const JDIMENSION height = h.info.output_height;
  if (!PictureSizeAllowed(width, height)) {
    return "Picture too large: " + std::to_string(width) + " x " + std::to_string(height) +
           " pixels";
  }
  Bitmap out;
  out.ResetForOverwrite(static_cast<int>(width), static_cast<int>(height), PixelFormat::Bgr24);
  std::vector<std::uint8_t> cmyk;
  if (h.info.out_color_space == JCS_CMYK) cmyk.resize(static_cast<std::size_t>(width) * 4);
  const bool inverted = h.info.saw_Adobe_marker;
  if (!DecodeRows(h, out.Pixels(), out.Stride(), cmyk.empty() ? nullptr : cmyk.data(), inverted)) {
    return h.err.message;
  }
  bitmap = std::move(out);
  return {};
}

}  // namespace

std::string DecodeJpeg(const std::uint8_t* data, std::size_t size, Bitmap& bitmap) {
  if (size == 0) return "Empty JPEG file";
  DecompressHolder h;
  if (!StartDecode(h, data, size)) return h.err.message;
  return DecodeStarted(h, bitmap);
}

std::string DecodeJpegFile(const std::string& head, int fd, std::size_t fileSize, Bitmap& bitmap) {
  if (head.empty()) return "Empty JPEG file";
  FileSource source(head, fd, fileSize > head.size() ? fileSize - head.size() : 0);
  DecompressHolder h;
  if (!StartDecode(h, nullptr, 0, &source.pub)) return h.err.message;
  return DecodeStarted(h, bitmap);
}

std::string EncodeJpeg(const Bitmap& bitmap, int quality) {
  if (bitmap.Empty()) throw std::runtime_error("Cannot save an empty picture as JPEG");
  Bitmap converted;
  const Bitmap* source = &bitmap;
  if (bitmap.Format() != PixelFormat::Bgr24) {
    converted = bitmap.ToBgr24();
    source = &converted;
  }
  CompressHolder h;
  if (!Encode(h, source->Pixels(), source->Stride(), source->Width(), source->Height(), quality)) {
    throw std::runtime_error(std::string("JPEG compression failed: ") + h.err.message);
  }
  return std::string(reinterpret_cast<const char*>(h.out), h.outSize);
}

int ReadExifOrientation(const std::uint8_t* data, std::size_t size) {
  if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return 1;
  std::size_t pos = 2;
  while (pos + 4 <= size) {
    if (data[pos] != 0xFF) return 1;
    const std::uint8_t marker = data[pos + 1];
    if (marker == 0xFF) {  // fill byte
      ++pos;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) return 1;  // image data: no EXIF before it
    const std::size_t length = (static_cast<std::size_t>(data[pos + 2]) << 8) | data[pos + 3];
    if (length < 2 || pos + 2 + length > size) return 1;
    const std::uint8_t* seg = data + pos + 4;
    const std::size_t segSize = length - 2;
    if (marker == 0xE1 && segSize >= 14 && std::memcmp(seg, "Exif\0\0", 6) == 0) {
      const std::uint8_t* tiff = seg + 6;
      const std::size_t tiffSize = segSize - 6;
      bool little;
      if (tiff[0] == 'I' && tiff[1] == 'I') {
        little = true;
      } else if (tiff[0] == 'M' && tiff[1] == 'M') {
        little = false;
      } else {
        return 1;
      }
      auto u16 = [&](std::size_t at) -> unsigned {
        return little ? tiff[at] | (tiff[at + 1] << 8) : (tiff[at] << 8) | tiff[at + 1];
      };
      auto u32 = [&](std::size_t at) -> std::uint32_t {
        return little ? (std::uint32_t{u16(at + 2)} << 16) | u16(at)
                      : (std::uint32_t{u16(at)} << 16) | u16(at + 2);
      };
      if (u16(2) != 42) return 1;
      const std::uint32_t ifd = u32(4);
      if (ifd < 8 || ifd > tiffSize - 2) return 1;
      const unsigned count = u16(ifd);
      for (unsigned i = 0; i < count; ++i) {
        const std::size_t entry = ifd + 2 + static_cast<std::size_t>(i) * 12;
        if (entry + 12 > tiffSize) return 1;
        if (u16(entry) == 0x0112) {
          if (u16(entry + 2) != 3 || u32(entry + 4) != 1) return 1;  // one SHORT
          const unsigned value = u16(entry + 8);
          return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
        }
      }
      return 1;
    }
    pos += 2 + length;
  }
  return 1;
}

int ReadJpegOrientation(const std::string& fileName) {
  std::string bytes;
  if (!ReadPictureFileStart(fileName, bytes, kJpegOrientationSearchBytes).empty()) return 1;
  return ReadExifOrientation(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

void JpegImage::LoadFromFile(const std::string& fileName) {
  std::string bytes;
  const std::string error = ReadPictureFile(fileName, bytes);
  if (!error.empty()) throw std::runtime_error(error);
  LoadFromBytes(std::move(bytes));
}

void JpegImage::LoadFromBytes(std::string bytes) {
  if (bytes.empty()) throw std::runtime_error("Empty JPEG file");
  DecompressHolder h;
  if (!ReadHeaderOnly(h, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())) {
    throw std::runtime_error(h.err.message);
  }
  width_ = static_cast<int>(h.info.image_width);
  height_ = static_cast<int>(h.info.image_height);
  bytes_ = std::move(bytes);
  holdsBytes_ = true;
  bitmap_.Clear();
}

void JpegImage::Assign(const Bitmap& bitmap) { Assign(Bitmap(bitmap)); }

void JpegImage::Assign(Bitmap&& bitmap) {
  bitmap_ = std::move(bitmap);
  holdsBytes_ = false;
  bytes_.clear();
  width_ = height_ = 0;
}

std::string JpegImage::SaveToBytes() const {
  if (holdsBytes_) return bytes_;
  return EncodeJpeg(bitmap_, 90);
}

std::string JpegImage::ReleaseBytes() {
  std::string bytes = holdsBytes_ ? std::move(bytes_) : EncodeJpeg(bitmap_, 90);
  bytes_.clear();
  holdsBytes_ = false;
  width_ = height_ = 0;
  bitmap_.Clear();
  return bytes;
}

void JpegImage::SaveToFile(const std::string& fileName) const {
  if (!WriteFileAtomically(fileName, SaveToBytes(), false)) {
    throw std::runtime_error("Cannot save " + fileName + ": " + std::strerror(errno));
  }
}

std::string JpegImage::Decode(Bitmap& bitmap) const {
  if (holdsBytes_) {
    return DecodeJpeg(reinterpret_cast<const std::uint8_t*>(bytes_.data()), bytes_.size(), bitmap);
  }
  if (bitmap_.Empty()) return "Empty JPEG picture";
  bitmap = bitmap_.ToBgr24();
  return {};
}

int JpegImage::Orientation() const {
  if (!holdsBytes_) return 1;
  return ReadExifOrientation(reinterpret_cast<const std::uint8_t*>(bytes_.data()), bytes_.size());
}
