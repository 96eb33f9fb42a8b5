// Draws the fixed pictures of system/: the folder and file icons (GIF) and
// the picture sent for anything missing (JPEG).
// Build and run from the repository:
//   g++ -O2 -std=c++20 assets/draw-system-pictures.cpp -ljpeg -lgif -o /tmp/draw-system-pictures
//   /tmp/draw-system-pictures assets/system
#include <cstdio>

#include <gif_lib.h>
#include <jpeglib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Rgb {
  unsigned char r, g, b;
};

struct Canvas {
  int w, h;
  std::vector<Rgb> px;
  Canvas(int width, int height, Rgb fill) : w(width), h(height), px(width * height, fill) {}
  void Set(int x, int y, Rgb c) {
    if (x >= 0 && y >= 0 && x < w && y < h) px[y * w + x] = c;
  }
  void Fill(int x0, int y0, int x1, int y1, Rgb c) {
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) Set(x, y, c);
  }
  void Frame(int x0, int y0, int x1, int y1, Rgb c) {
    for (int x = x0; x <= x1; ++x) Set(x, y0, c), Set(x, y1, c);
    for (int y = y0; y <= y1; ++y) Set(x0, y, c), Set(x1, y, c);
  }
};

// Writes a paletted GIF; the canvas may use at most 16 colours.
bool SaveGif(const Canvas& c, const std::string& path) {
  std::vector<Rgb> palette;
  std::vector<GifByteType> index(c.px.size());
  for (size_t i = 0; i < c.px.size(); ++i) {
    const Rgb p = c.px[i];
    size_t k = 0;
    while (k < palette.size() &&
           !(palette[k].r == p.r && palette[k].g == p.g && palette[k].b == p.b))
      ++k;
    if (k == palette.size()) palette.push_back(p);
    index[i] = static_cast<GifByteType>(k);
  }
  if (palette.size() > 16) return false;
  GifColorType colors[16] = {};
  for (size_t k = 0; k < palette.size(); ++k)
    colors[k] = {palette[k].r, palette[k].g, palette[k].b};
  ColorMapObject* map = GifMakeMapObject(16, colors);
  int error = 0;
  GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
  if (!gif) return false;
  EGifSetGifVersion(gif, true);
  bool ok = EGifPutScreenDesc(gif, c.w, c.h, 4, 0, map) == GIF_OK &&
            EGifPutImageDesc(gif, 0, 0, c.w, c.h, false, nullptr) == GIF_OK;
  for (int y = 0; ok && y < c.h; ++y) ok = EGifPutLine(gif, &index[y * c.w], c.w) == GIF_OK;
  GifFreeMapObject(map);
  return EGifCloseFile(gif, &error) == GIF_OK && ok;
}

bool SaveJpeg(const Canvas& c, const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  jpeg_compress_struct info;
  jpeg_error_mgr err;
  info.err = jpeg_std_error(&err);
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, f);
  info.image_width = c.w;
  info.image_height = c.h;
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 90, TRUE);
  jpeg_start_compress(&info, TRUE);
  for (int y = 0; y < c.h; ++y) {
    JSAMPROW row = const_cast<JSAMPROW>(reinterpret_cast<const JSAMPLE*>(&c.px[y * c.w]));
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return std::fclose(f) == 0;
}

const Rgb kWhite{255, 255, 255};

Canvas Folder() {
  const Rgb edge{150, 110, 20}, back{230, 180, 60}, front{250, 210, 90}, light{255, 235, 150};
  Canvas c(32, 32, kWhite);
  c.Fill(3, 6, 13, 9, back);  // the tab
  c.Frame(3, 6, 13, 9, edge);
  c.Fill(3, 9, 28, 26, back);  // the back wall
  c.Frame(3, 9, 28, 26, edge);
  c.Fill(5, 12, 28, 26, front);  // the front flap
  c.Frame(5, 12, 28, 26, edge);
  c.Fill(6, 13, 27, 14, light);  // its lit edge
  return c;
}

Canvas File() {
  const Rgb edge{90, 100, 120}, paper{250, 250, 255}, fold{205, 212, 228}, ink{70, 110, 190};
  Canvas c(32, 32, kWhite);
  c.Fill(7, 3, 24, 29, paper);
  for (int y = 3; y <= 29; ++y) c.Set(7, y, edge), c.Set(24, y, edge);
  for (int x = 7; x <= 24; ++x) c.Set(x, 29, edge);
  for (int x = 7; x <= 18; ++x) c.Set(x, 3, edge);
  for (int i = 0; i <= 6; ++i) {  // the folded corner
    for (int x = 18; x <= 18 + i; ++x) c.Set(x, 3 + i, fold);
    c.Set(18 + i, 3 + i, edge);
    c.Set(24 - 6 + i, 3 + i, edge);
  }
  for (int y = 3; y <= 9; ++y) c.Set(18, y, edge);
  for (int x = 18; x <= 24; ++x) c.Set(x, 9, edge);
  for (int y = 13; y <= 25; y += 3) c.Fill(10, y, y == 25 ? 17 : 21, y, ink);  // text lines
  return c;
}

Canvas NotFound() {
  const Rgb frame{120, 125, 135}, sky{215, 225, 238}, hill{170, 190, 170}, red{205, 40, 40};
  Canvas c(128, 96, Rgb{245, 245, 245});
  c.Fill(24, 14, 103, 81, sky);
  for (int x = 24; x <= 103; ++x) {  // a hill in the picture
    const int top = 62 - static_cast<int>(12 * std::sin((x - 24) * 3.14159 / 79));
    c.Fill(x, top, x, 81, hill);
  }
  for (int t = 0; t < 3; ++t) c.Frame(24 - t, 14 - t, 103 + t, 81 + t, frame);
  // A red circle with a bar across: nothing here.
  for (int y = 0; y < 96; ++y)
    for (int x = 0; x < 128; ++x) {
      const double dx = x - 63.5, dy = y - 47.5, r = std::sqrt(dx * dx + dy * dy);
      const double bar = std::fabs(dx - dy) / std::sqrt(2.0);
      if ((r >= 26 && r <= 32) || (r < 27 && bar <= 3.2)) c.Set(x, y, red);
    }
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : ".";
  const bool ok = SaveGif(Folder(), dir + "/mirelo folder.gif") &&
                  SaveGif(File(), dir + "/mirelo file.gif") &&
                  SaveJpeg(NotFound(), dir + "/not found.jpg");
  if (!ok) std::fputs("could not write the pictures\n", stderr);
  return ok ? 0 : 1;
}
