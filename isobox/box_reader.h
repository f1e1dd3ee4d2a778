// A small ISO BMFF / QuickTime box reader, shared by the tests and by
// mxmux --dump.
//
// Turns a file (or a byte vector) into a tree of boxes with their offsets,
// sizes, types and payload bytes, so that tests can look boxes up by path
// ("moov/trak[1]/mdia/minf/stbl/stsz", index in brackets 0-based among the
// siblings of that type), read big-endian fields from a payload, and print the
// tree when an expectation fails.
//
// It knows which boxes hold children and where the children start:
//   - plain containers (moov, trak, mdia, minf, stbl, dinf, edts, udta, tref,
//     gmhd, wave, sv3d, proj, ilst and every item inside ilst, ...);
//   - stsd, dref and keys: 8 bytes (version, flags, entry count), then entries;
//   - sample entries directly inside stsd: visual entries after 78 bytes,
//     sound entries after 28 (version 0), 44 (version 1) or 64 (version 2)
//     bytes, tmcd after 26, mebx after 8; the kind of an entry whose type is
//     not in the tables follows the track's handler ("vide", "soun");
//   - tmcd inside gmhd is a container (tcmi), inside tref or wave it is a leaf;
//   - keys inside a mebx entry is a plain container of key boxes (each one a
//     container of keyd/dtyp); the movie-level keys is a counted container;
//   - meta: a full box in ISO user data, a plain container in the QuickTime
//     movie-level metadata; by default the form is detected from the bytes
//     (see MetaForm).
//
// Malformed input never reads out of bounds: a box that runs past its parent
// is clamped and marked with an error, a size below its header stops the
// sibling walk, nesting is limited, and a container's trailing bytes that are
// too short for a box header are counted, not parsed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace iso {

enum class MetaForm {
  kDetect,  // plain when a box header starts right at the payload, full box otherwise
  kFull,    // always version and flags first (ISO)
  kPlain,   // never (QuickTime mdta)
};

struct ParseOptions {
  MetaForm meta = MetaForm::kDetect;
  // Top-level boxes of a file larger than this are not loaded (their payload
  // is unavailable and their children are not parsed): a 4 GiB mdat stays on disk.
  uint64_t max_load = 256ull << 20;
  // Once this many bytes of a file are loaded, the later top-level boxes are
  // kept as headers only: memory stays bounded on a file of many large boxes.
  uint64_t max_total_load = UINT64_MAX;
  // Top-level types of a file that are never loaded (a dump needs no mdat bytes).
  std::vector<std::string> header_only;
  int max_depth = 48;
  size_t max_boxes = 4u << 20;
};

struct Box {
  std::string type;           // the four bytes of the type, as they are
  uint64_t offset = 0;        // of the box's first byte, from the start of the input
  uint64_t size = 0;          // whole box, header included (size 0 resolved to the end)
  uint32_t header_size = 8;   // 8, or 16 with a 64-bit size
  bool large_size = false;    // the size field held 1 and the 64-bit size followed
  bool to_end = false;        // the size field held 0
  bool loaded = false;        // payload bytes are available
  uint32_t child_offset = 0;  // where the children start in the payload (containers)
  bool container = false;
  uint32_t trailing = 0;  // bytes at a container's end too short for a box
  std::string error;      // empty unless the box is malformed
  std::vector<Box> children;

  uint64_t payload_size() const { return size - header_size; }
  // The payload (bytes behind the header); throws when not loaded.
  std::vector<uint8_t> payload() const;
  // The whole box, header included.
  std::vector<uint8_t> bytes() const;
  const uint8_t* payload_data() const;

  // Big-endian fields at an offset into the payload; throw std::out_of_range
  // when the field does not lie inside the payload.
  uint8_t u8(uint64_t off) const;
  uint16_t u16(uint64_t off) const;
  uint32_t u24(uint64_t off) const;
  uint32_t u32(uint64_t off) const;
  uint64_t u64(uint64_t off) const;
  int32_t i32(uint64_t off) const { return static_cast<int32_t>(u32(off)); }
  std::string str(uint64_t off, uint64_t n) const;
  std::string fourcc(uint64_t off) const { return str(off, 4); }
  // Full-box header fields.
  uint8_t version() const { return u8(0); }
  uint32_t flags() const { return u24(1); }

  // The index-th child of this type (null when none); "*" matches any type.
  const Box* child(const std::string& type, size_t index = 0) const;
  size_t count(const std::string& type) const;
  // The types of the children, in order.
  std::vector<std::string> child_types() const;
  // Lookup relative to this box; null when the path leads nowhere.
  const Box* find(const std::string& path) const;
  // Like find, but throws std::runtime_error with the subtree's dump.
  const Box& at(const std::string& path) const;

  std::shared_ptr<const std::vector<uint8_t>> store;  // holds the bytes
  uint64_t store_offset = 0;                          // of the box's first byte in store
};

struct Tree {
  std::vector<Box> boxes;  // top level
  uint64_t input_size = 0;
  uint32_t trailing = 0;  // bytes at the end of the input too short for a box
  std::string error;      // set when the input could not be read at all

  const Box* find(const std::string& path) const;
  // Throws std::runtime_error carrying the path and the whole dump.
  const Box& at(const std::string& path) const;
  std::vector<std::string> types() const;
  // Every box of this type anywhere in the tree, in file order.
  std::vector<const Box*> all(const std::string& type) const;
  // An indented listing: type, offset, size, errors, and for small leaves
  // the first payload bytes in hex.
  std::string dump() const;
};

Tree parse(const std::vector<uint8_t>& bytes, const ParseOptions& options = {});
Tree read_file(const std::string& path, const ParseOptions& options = {});

// Printable form of a type: the characters, or 0xXXXXXXXX when any is not printable.
std::string type_name(const std::string& type);
// Dump of one box and its children.
std::string dump(const Box& box, int indent = 0);
// "aa bb cc" for readable failure messages.
std::string hex(const std::vector<uint8_t>& bytes);

}  // namespace iso
