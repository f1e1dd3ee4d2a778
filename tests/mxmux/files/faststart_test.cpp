// The faststart rewrite on built layouts: chunk offsets moved by the movie
// box's new place, 32-bit tables widened where an offset then passes 4 GiB
// (planned to a fixed point, since widening grows the movie box), and every
// layout it does not expect refused with the file left as it was.
#include "mxmux/files/faststart.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "support/box_reader.h"
#include "support/test_files.h"

namespace fs = mxmux::faststart;

namespace {

using Bytes = std::vector<uint8_t>;

void put(Bytes& out, uint64_t v, int n) {
  for (int i = n - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Filled in place rather than appended: GCC 12 at -O3 misreads appends to an
// empty vector as writes past its end.
Bytes box(const char* type, const Bytes& payload) {
  Bytes out(payload.size() + 8);
  const uint64_t size = out.size();
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(size >> (8 * (3 - i)));
  std::copy(type, type + 4, out.begin() + 4);
  std::copy(payload.begin(), payload.end(), out.begin() + 8);
  return out;
}

Bytes chunk_table(const std::vector<uint64_t>& offsets, bool wide) {
  Bytes payload;
  put(payload, 0, 4);  // version, flags
  put(payload, offsets.size(), 4);
  for (uint64_t o : offsets) put(payload, o, wide ? 8 : 4);
  return box(wide ? "co64" : "stco", payload);
}

// A data reference: one url entry, in this file (flag 1) or not.
Bytes dinf(bool self_contained) {
  return box("dinf",
             box("dref", hex_bytes(std::string("00 000000  00000001") +
                                   "0000000c 75726c20 00 00000" + (self_contained ? "1" : "0"))));
}

Bytes trak(const Bytes& table, bool self_contained = true) {
  Bytes stsz = box("stsz", hex_bytes("00000000 00000000 00000000"));
  return box(
      "trak",
      box("mdia", box("minf", cat({dinf(self_contained), box("stbl", cat({stsz, table}))}))));
}

Bytes moov(std::initializer_list<Bytes> traks) {
  Bytes mvhd = box("mvhd", Bytes(100, 0));
  Bytes body = mvhd;
  for (const Bytes& t : traks) body.insert(body.end(), t.begin(), t.end());
  body = cat({body, box("udta", box("name", {'x'}))});
  return box("moov", body);
}

constexpr uint64_t kFtyp = 24;
constexpr uint64_t kMdatSize = (uint64_t{5} << 30) + 16;  // 64-bit header

// ftyp, a 5 GiB mdat with a 64-bit size, then the movie box.
std::vector<fs::TopBox> layout(uint64_t moov_size) {
  return {{"ftyp", 0, kFtyp, 8},
          {"mdat", kFtyp, kMdatSize, 16},
          {"moov", kFtyp + kMdatSize, moov_size, 8}};
}

// The chunk offsets of each track of a rewritten movie box, and the table type.
struct Table {
  std::string type;
  std::vector<uint64_t> offsets;
};

std::vector<Table> tables_of(const Bytes& moov_bytes) {
  iso::Tree tree = iso::parse(moov_bytes);
  std::vector<Table> out;
  for (size_t i = 0; const iso::Box* t = tree.at("moov").child("trak", i); ++i) {
    const iso::Box& stbl = t->at("mdia/minf/stbl");
    const iso::Box* table = stbl.find("stco") ? stbl.find("stco") : stbl.find("co64");
    if (!table) throw std::runtime_error("no chunk table in:\n" + tree.dump());
    Table entry{table->type, {}};
    for (uint32_t k = 0, n = table->u32(4); k < n; ++k)
      entry.offsets.push_back(table->type == "co64" ? table->u64(8 + 8 * k)
                                                    : table->u32(8 + 4 * k));
    out.push_back(entry);
  }
  return out;
}

}  // namespace

TEST(Faststart, OffsetsMoveAndTablesWidenPastFourGiB) {
  // Track 1 ends just under 4 GiB: moved by the movie box it passes 4 GiB and
  // becomes co64. Track 2 stays small. Track 3 is co64 already.
  Bytes source =
      moov({trak(chunk_table({40, 0xFFFFFF00}, false)), trak(chunk_table({40, 1000}, false)),
            trak(chunk_table({0x100000000ull, 0x140000000ull}, true))});
  fs::Plan plan;
  std::string error;
  ASSERT_TRUE(fs::plan(layout(source.size()), source, plan, error)) << error;

  uint64_t moved = source.size() + 2 * 4;  // two stco entries grew to 8 bytes
  EXPECT_EQ(plan.moov.size(), moved);
  EXPECT_EQ(plan.chunk_tables, 3u);
  EXPECT_EQ(plan.widened, 1u);
  auto tables = tables_of(plan.moov);
  ASSERT_EQ(tables.size(), 3u);
  EXPECT_EQ(tables[0].type, "co64");
  EXPECT_EQ(tables[0].offsets, (std::vector<uint64_t>{40 + moved, 0xFFFFFF00 + moved}));
  EXPECT_EQ(tables[1].type, "stco");
  EXPECT_EQ(tables[1].offsets, (std::vector<uint64_t>{40 + moved, 1000 + moved}));
  EXPECT_EQ(tables[2].type, "co64");
  EXPECT_EQ(tables[2].offsets,
            (std::vector<uint64_t>{0x100000000ull + moved, 0x140000000ull + moved}));

  // The widened table, byte for byte.
  char entries[64];
  std::snprintf(entries, sizeof entries, "%016llx %016llx",
                static_cast<unsigned long long>(40 + moved),
                static_cast<unsigned long long>(0xFFFFFF00 + moved));
  iso::Tree tree = iso::parse(plan.moov);
  EXPECT_EQ(tree.at("moov/trak[0]/mdia/minf/stbl/co64").bytes(), hex_bytes(std::string(R"(
      00000020 636f3634   # size 32, co64
      00000000 00000002   # version, flags; 2 entries
  )") + entries))
      << tree.dump();
  // Everything else of the movie box is as it was.
  EXPECT_EQ(tree.at("moov/udta").bytes(), box("udta", box("name", {'x'})));

  // The file: ftyp, the movie box, the media data; same size plus the growth.
  ASSERT_EQ(plan.pieces.size(), 3u);
  EXPECT_FALSE(plan.pieces[0].movie);
  EXPECT_EQ(plan.pieces[0].offset, 0u);
  EXPECT_EQ(plan.pieces[0].size, kFtyp);
  EXPECT_TRUE(plan.pieces[1].movie);
  EXPECT_EQ(plan.pieces[2].offset, kFtyp);
  EXPECT_EQ(plan.pieces[2].size, kMdatSize);
  EXPECT_EQ(plan.output_size, kFtyp + kMdatSize + moved);
}

TEST(Faststart, WideningIsPlannedToAFixedPoint) {
  // Track A's last offset lands exactly on 0xFFFFFFFF once moved by the movie
  // box as it is; track B must widen, which grows the movie box by 4 bytes and
  // so pushes A past 4 GiB as well.
  auto build = [](uint64_t a, bool with_b) {
    return with_b ? moov({trak(chunk_table({a}, false)), trak(chunk_table({0xFFFFFFF0}, false))})
                  : moov({trak(chunk_table({a}, false))});
  };
  for (bool with_b : {false, true}) {
    SCOPED_TRACE(with_b ? "A and B" : "A alone");
    uint64_t size = build(0, with_b).size();
    uint64_t a = 0xFFFFFFFFull - size;
    Bytes source = build(a, with_b);
    fs::Plan plan;
    std::string error;
    ASSERT_TRUE(fs::plan(layout(source.size()), source, plan, error)) << error;
    auto tables = tables_of(plan.moov);
    if (!with_b) {
      // On the boundary: still fits 32 bits.
      EXPECT_EQ(plan.widened, 0u);
      EXPECT_EQ(tables[0].type, "stco");
      EXPECT_EQ(tables[0].offsets, std::vector<uint64_t>{0xFFFFFFFFull});
    } else {
      uint64_t moved = size + 8;
      EXPECT_EQ(plan.widened, 2u);
      EXPECT_EQ(plan.moov.size(), moved);
      EXPECT_EQ(tables[0].type, "co64");
      EXPECT_EQ(tables[0].offsets, std::vector<uint64_t>{a + moved});
      EXPECT_EQ(tables[1].type, "co64");
      EXPECT_EQ(tables[1].offsets, std::vector<uint64_t>{0xFFFFFFF0 + moved});
    }
  }
}

TEST(Faststart, BoxesAroundTheMovieBoxKeepTheirOrder) {
  // ftyp, free, mdat, moov, free, mdat: the movie box goes behind ftyp; data
  // behind the old movie box moves by the difference only.
  Bytes source = moov({trak(chunk_table({48, 600}, false))});
  uint64_t m = source.size();
  std::vector<fs::TopBox> boxes = {{"ftyp", 0, 24, 8},      {"free", 24, 8, 8},
                                   {"mdat", 32, 400, 8},    {"moov", 432, m, 8},
                                   {"free", 432 + m, 8, 8}, {"mdat", 440 + m, 300, 8}};
  // The second chunk lies in the second mdat.
  source = moov({trak(chunk_table({48, 440 + m + 8}, false))});
  fs::Plan plan;
  std::string error;
  ASSERT_TRUE(fs::plan(boxes, source, plan, error)) << error;
  EXPECT_EQ(tables_of(plan.moov)[0].offsets, (std::vector<uint64_t>{48 + m, 440 + m + 8}));
  ASSERT_EQ(plan.pieces.size(), 4u);
  EXPECT_EQ(plan.pieces[0].size, 24u);
  EXPECT_TRUE(plan.pieces[1].movie);
  EXPECT_EQ(plan.pieces[2].offset, 24u);  // free + mdat, one range
  EXPECT_EQ(plan.pieces[2].size, 408u);
  EXPECT_EQ(plan.pieces[3].offset, 432 + m);  // free + mdat behind the old movie box
  EXPECT_EQ(plan.pieces[3].size, 308u);
}

TEST(Faststart, UnexpectedMovieTreesAreRefused) {
  Bytes good = trak(chunk_table({48}, false));
  Bytes mvhd = box("mvhd", Bytes(100, 0));
  struct Case {
    const char* name;
    std::vector<fs::TopBox> boxes;  // the moov entry's size is filled in
    Bytes moov;
    std::string message;
  };
  Bytes wide_child = hex_bytes("00000001 7472616b 00000000 00000010");
  const Case cases[] = {
      {"no movie box", {{"ftyp", 0, 24, 8}, {"mdat", 24, 100, 8}}, {}, "no movie box"},
      {"movie box first",
       {{"ftyp", 0, 24, 8}, {"moov", 24, 0, 8}, {"mdat", 0, 100, 8}},
       moov({good}),
       "already comes before the media data"},
      {"no media data",
       {{"ftyp", 0, 24, 8}, {"free", 24, 8, 8}, {"moov", 32, 0, 8}},
       moov({good}),
       "no media data"},
      {"two movie boxes",
       {{"ftyp", 0, 24, 8}, {"mdat", 24, 100, 8}, {"moov", 124, 0, 8}, {"moov", 0, 0, 8}},
       moov({good}),
       "two movie boxes"},
      {"chunk offset outside the media data",
       {},
       moov({trak(chunk_table({48, 8}, false))}),
       "track 1 has a chunk offset (8) outside the media data"},
      {"entry count larger than the table",
       {},
       moov({trak(box("stco", hex_bytes("00000000 00000005 00000030")))}),
       "counts 5 entries"},
      {"64-bit size inside the movie box",
       {},
       box("moov", cat({mvhd, wide_child})),
       "has a 64-bit size"},
      {"box past its parent",
       {},
       box("moov", cat({mvhd, hex_bytes("00000100 7472616b")})),
       "declares 256 bytes"},
      {"cut-off box header", {}, box("moov", cat({mvhd, hex_bytes("0000")})), "cut off"},
      {"media in another file",
       {},
       moov({trak(chunk_table({48}, false), false)}),
       "refers to media data in another file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<fs::TopBox> boxes = c.boxes;
    if (boxes.empty()) {
      boxes = {{"ftyp", 0, 24, 8}, {"mdat", 24, 1000, 8}, {"moov", 1024, 0, 8}};
    }
    for (fs::TopBox& b : boxes) {
      if (b.type == "moov") b.size = c.moov.size();
    }
    fs::Plan plan;
    std::string error;
    EXPECT_FALSE(fs::plan(boxes, c.moov, plan, error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

namespace {

std::vector<std::string> folder_entries(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = ::opendir(dir.c_str());
  while (dirent* e = d ? ::readdir(d) : nullptr) {
    std::string name = e->d_name;
    if (name != "." && name != "..") out.push_back(name);
  }
  if (d) ::closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

// A small complete file: ftyp, mdat holding "sample", moov pointing at it.
Bytes small_file(const Bytes& moov_override = {}) {
  Bytes ftyp = box("ftyp", hex_bytes("69736f6d 00000200 69736f6d"));
  Bytes mdat = box("mdat", {'s', 'a', 'm', 'p', 'l', 'e'});
  Bytes m =
      moov_override.empty() ? moov({trak(chunk_table({ftyp.size() + 8}, false))}) : moov_override;
  return cat({ftyp, mdat, m});
}

}  // namespace

TEST(Faststart, RewritesAFileInPlace) {
  std::string dir = test_temp_path("faststart-ok");
  ::mkdir(dir.c_str(), 0755);
  std::string path = dir + "/movie.mp4";
  Bytes source = small_file();
  write_whole_file(path, source);
  ::chmod(path.c_str(), 0640);
  std::string error;
  ASSERT_TRUE(fs::rewrite_file(path, nullptr, error)) << error;
  Bytes result = read_whole_file(path);
  ASSERT_EQ(result.size(), source.size());
  iso::Tree tree = iso::parse(result);
  EXPECT_EQ(tree.types(), (std::vector<std::string>{"ftyp", "moov", "mdat"})) << tree.dump();
  uint64_t chunk = tables_of(tree.at("moov").bytes())[0].offsets[0];
  ASSERT_LE(chunk + 6, result.size());
  EXPECT_EQ(std::string(result.begin() + static_cast<long>(chunk),
                        result.begin() + static_cast<long>(chunk) + 6),
            "sample");
  struct stat st {};
  ::stat(path.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << "the file's permissions changed";
  EXPECT_EQ(folder_entries(dir), std::vector<std::string>{"movie.mp4"});
}

TEST(Faststart, RefusedFilesAreLeftAsTheyWere) {
  Bytes ftyp = box("ftyp", hex_bytes("69736f6d 00000200 69736f6d"));
  Bytes mdat = box("mdat", {'s', 'a', 'm', 'p', 'l', 'e'});
  Bytes good_moov = moov({trak(chunk_table({ftyp.size() + 8}, false))});
  Bytes finished = cat({ftyp, mdat, good_moov});
  auto with_size = [](Bytes b, uint32_t size) {
    for (int i = 0; i < 4; ++i)
      b[static_cast<size_t>(i)] = static_cast<uint8_t>(size >> (24 - 8 * i));
    return b;
  };
  Bytes wide_moov = hex_bytes("00000001 6d6f6f76");
  put(wide_moov, good_moov.size() + 8, 8);
  wide_moov.insert(wide_moov.end(), good_moov.begin() + 8, good_moov.end());
  struct Case {
    const char* name;
    Bytes file;
    std::string message;
    bool cancel = false;
  };
  const Case cases[] = {
      {"movie box past the end", cat({ftyp, mdat, with_size(good_moov, 5000)}),
       "declares 5000 bytes"},
      {"box without a size", cat({ftyp, with_size(mdat, 0), good_moov}), "has no size"},
      {"size below the header", cat({ftyp, with_size(mdat, 4), good_moov}), "less than its header"},
      {"64-bit size on the movie box", cat({ftyp, mdat, wide_moov}), "has a 64-bit size"},
      {"bytes after the last box", cat({finished, Bytes(5, 0)}), "too short for a box"},
      {"movie fragments", cat({finished, box("moof", Bytes(8, 0))}), "fragmented"},
      {"no movie box", cat({ftyp, mdat}), "no movie box"},
      {"movie box already first", cat({ftyp, good_moov, mdat}), "already comes before"},
      {"empty file", {}, "no movie box"},
      {"interrupted", finished, "interrupted", true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dir = test_temp_path("faststart-refused-" + std::to_string(n++));
    ::mkdir(dir.c_str(), 0755);
    std::string path = dir + "/movie.mp4";
    write_whole_file(path, c.file);
    std::string error;
    EXPECT_FALSE(fs::rewrite_file(
        path, [&] { return c.cancel; }, error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(read_whole_file(path), c.file) << "the refused file was changed";
    EXPECT_EQ(folder_entries(dir), std::vector<std::string>{"movie.mp4"})
        << "a temporary file was left behind";
  }
}
