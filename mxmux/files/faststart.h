// mxmux --faststart: rewrites a finished file once so that its movie box
// comes before the media data, as players streaming over HTTP need. Every
// chunk offset moves with the data; a 32-bit table (stco) whose offsets then
// pass 4 GiB becomes a 64-bit one (co64), which grows the movie box and so
// moves the data again: the layout is planned until it no longer changes.
//
// Only layouts this program writes are rewritten; anything else (no movie
// box, the movie box already first, sizes that do not tile the file, 64-bit
// sizes outside the media data, fragments, chunk offsets outside the media
// data, media in other files) is refused with a reason and the file is left
// as it was.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace mxmux::faststart {

// One top-level box of a file.
struct TopBox {
  std::string type;
  uint64_t offset = 0;
  uint64_t size = 0;  // the whole box
  uint32_t header_size = 8;
};

// A part of the rewritten file: a byte range of the source, or the new movie box.
struct Piece {
  bool movie = false;
  uint64_t offset = 0;
  uint64_t size = 0;
};

struct Plan {
  std::vector<uint8_t> moov;  // the rewritten movie box
  std::vector<Piece> pieces;  // the rewritten file, in order
  uint64_t output_size = 0;
  uint32_t chunk_tables = 0;  // stco/co64 boxes whose offsets moved
  uint32_t widened = 0;       // of them, stco boxes written as co64
};

// The movie box is read into memory; larger ones are refused.
constexpr uint64_t kMaxMovieBox = uint64_t{1} << 30;

// Walks the top-level boxes of an open file of `file_size` bytes; false with
// the reason when they do not tile the file the way a finished file does.
bool scan(int fd, uint64_t file_size, std::vector<TopBox>& boxes, std::string& error);

// Plans the rewrite of a file with these top-level boxes, given the bytes of
// its movie box (header included): the movie box moves right behind ftyp.
bool plan(const std::vector<TopBox>& boxes, const std::vector<uint8_t>& moov, Plan& out,
          std::string& error);

// Rewrites the file at `path`: the new file is written beside it and renamed
// over it once complete, copying the media data in bounded blocks. False with
// the reason when the layout is refused or writing fails (the file is then
// unchanged and no temporary file is left); `cancelled` is asked between blocks.
bool rewrite_file(const std::string& path, const std::function<bool()>& cancelled,
                  std::string& error);

}  // namespace mxmux::faststart
