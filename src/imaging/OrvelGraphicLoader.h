// The image loader: tells pictures by their file names, loads a picture of any
// supported format into a Bitmap, and loads a picture as a JpegImage
// (converting GIF, PNG, BMP, HEIF, AVIF and WebP on the way). Failures come back as an error
// text (empty means success) unless a function says it throws. All functions
// may be called from any thread; they share no state.
#pragma once

#include "imaging/Bitmap.h"
#include "imaging/ImageLimits.h"
#include "imaging/JpegImage.h"
#include "imaging/PictureFiles.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Extension tests: the file name's extension (from the last "." on, when no
// "/", "\" or ":" follows it) compared byte for byte after upper-casing the
// ASCII letters; a trailing blank or second dot makes it no picture.
bool IsJpeg(const std::string& fileName);  // .jpg .jpeg .jpe .jfif
bool IsBmp(const std::string& fileName);
bool IsGif(const std::string& fileName);
bool IsPng(const std::string& fileName);
bool IsIco(const std::string& fileName);
bool IsEmf(const std::string& fileName);
bool IsHeif(const std::string& fileName);  // .heic .heif
bool IsAvif(const std::string& fileName);
bool IsWebp(const std::string& fileName);
// The pictures that get thumbnails and JPEG delivery: JPEG, BMP, GIF, PNG,
// HEIF, AVIF and WebP.
bool IsSupportedPicture(const std::string& fileName);

// Load operations. The caller owns bitmap and jpeg. Missing files (anything
// but a regular file) give "File does not exist: " and the name as passed;
// names no test accepts give "Unsupported graphic format".
void LoadGraphic(const std::string& fileName, Bitmap& bitmap, std::string& error);
// Fills jpeg from the file: a JPEG keeps its bytes unchanged; GIF, PNG, BMP,
// HEIF, AVIF and WebP are decoded and compressed when saved. Throws for a JPEG that cannot be
// read or parsed, and for a GIF or PNG that cannot be decoded (error then
// reads "Cannot convert GIF to JPEG: " or "Cannot convert Png to JPEG: " and
// the name).
void LoadAsJpeg(const std::string& fileName, JpegImage& jpeg, std::string& error);
// The same, except that a file that is missing (no regular file) returns
// false with the error set and jpeg unchanged; a JPEG is opened once for the
// test and the reading.
bool LoadAsJpegIfPresent(const std::string& fileName, JpegImage& jpeg, std::string& error);
// LoadGraphic with a JPEG turned upright by its EXIF orientation; the file is
// read once for both.
void LoadGraphicUpright(const std::string& fileName, Bitmap& bitmap, std::string& error);

// The per-format steps; each empties error first. On failure the bitmap or
// jpeg stays as it was.
void LoadJpeg(const std::string& fileName, Bitmap& bitmap, std::string& error);
void LoadBmp(const std::string& fileName, Bitmap& bitmap, std::string& error);
void LoadGif(const std::string& fileName, Bitmap& bitmap, std::string& error);
void LoadPng(const std::string& fileName, Bitmap& bitmap, std::string& error);
void LoadIco(const std::string& fileName, Bitmap& bitmap, std::string& error);
void LoadHeif(const std::string& fileName, Bitmap& bitmap, std::string& error);  // HEIF and AVIF
void LoadWebp(const std::string& fileName, Bitmap& bitmap, std::string& error);
// Metafiles cannot be rendered here: always fails with an error text.
void LoadEmf(const std::string& fileName, Bitmap& bitmap, std::string& error);
void GifToJpeg(const std::string& fileName, JpegImage& jpeg, std::string& error);
void PngToJpeg(const std::string& fileName, JpegImage& jpeg, std::string& error);
void BmpToJpeg(const std::string& fileName, JpegImage& jpeg, std::string& error);
// HEIF, AVIF and WebP as BmpToJpeg: failures come back as text, never thrown.
void HeifToJpeg(const std::string& fileName, JpegImage& jpeg, std::string& error);
void WebpToJpeg(const std::string& fileName, JpegImage& jpeg, std::string& error);

// Any picture LoadGraphic reads, decoded from one read of the file, with its
// embedded colour profile (ICC bytes; empty when it has none or it cannot be
// taken out) and its EXIF orientation (JPEG only; 1 otherwise). Error text as
// LoadGraphic's; bitmap and the outputs are unchanged on failure.
std::string LoadPicture(const std::string& fileName, Bitmap& bitmap, std::string& iccProfile,
                        int& orientation);

// Decoders of pictures held in memory (DecodeJpeg is in JpegImage.h). Each
// returns the error text, empty on success, and leaves bitmap unchanged on
// failure. BMP: palette pictures as 8-bit, others 24-bit; an empty bitmap for
// a header of width or height 0. PNG: 1, 4 or 8-bit palette (grey gets a grey
// palette), 24-bit, or 32-bit with its alpha. GIF: the first frame, 24-bit,
// on a white canvas of the logical screen's size. ICO: the largest image
// drawn over white, 24-bit.
std::string DecodeBmp(const std::uint8_t* data, std::size_t size, Bitmap& bitmap);
std::string DecodePng(const std::uint8_t* data, std::size_t size, Bitmap& bitmap);
std::string DecodeGif(const std::uint8_t* data, std::size_t size, Bitmap& bitmap);
std::string DecodeIco(const std::uint8_t* data, std::size_t size, Bitmap& bitmap);
// HEIF (HEIC and AVIF): the primary image, 24-bit, turned and cropped as the
// file says; alpha dropped. WebP: 24-bit, or 32-bit with its alpha; an
// animation's first frame on its canvas. iccProfile (when given) receives the
// embedded colour profile, empty when there is none.
std::string DecodeHeif(const std::uint8_t* data, std::size_t size, Bitmap& bitmap);
std::string DecodeHeif(const std::uint8_t* data, std::size_t size, Bitmap& bitmap,
                       std::string* iccProfile);
std::string DecodeWebp(const std::uint8_t* data, std::size_t size, Bitmap& bitmap);
std::string DecodeWebp(const std::uint8_t* data, std::size_t size, Bitmap& bitmap,
                       std::string* iccProfile);
