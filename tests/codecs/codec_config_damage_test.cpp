// Damaged configuration data through both record builders: every truncation and every
// single-bit flip of real parameter sets, plus seeded multi-byte corruption. Whatever the
// damage, a build either fails cleanly (nothing written) or yields a record that is
// well-formed on its own terms. Under the sanitizer build this also checks that no
// damaged input makes a builder read outside its data.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "codec_test_util.h"
#include "codec_vectors.h"
#include "codecs/av1_config.h"
#include "codecs/hevc_config.h"
#include "support/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Reads an hvcC body back and checks its structure; the failure text says what broke.
std::string check_hvcc_structure(const Bytes& r, const Bytes& input) {
  if (r.size() < 23) return "shorter than the fixed part";
  if (r[0] != 1) return "configurationVersion";
  if ((r[13] & 0xF0) != 0xF0 || (r[15] & 0xFC) != 0xFC || (r[16] & 0xFC) != 0xFC ||
      (r[17] & 0xF8) != 0xF8 || (r[18] & 0xF8) != 0xF8)
    return "reserved bits";
  if ((r[21] & 3) != 3) return "lengthSizeMinusOne";
  if (((r[13] & 0x0F) << 8 | r[14]) == 0 && (r[15] & 3) != 0)
    return "parallelism without segmentation";
  uint32_t counts[64] = {};
  size_t pos = 23;
  for (uint32_t a = 0; a < r[22]; ++a) {
    if (pos + 3 > r.size()) return "array header past the end";
    uint8_t type = r[pos] & 0x3F;
    uint32_t units = r[pos + 1] << 8 | r[pos + 2];
    pos += 3;
    counts[type] += units;
    for (uint32_t u = 0; u < units; ++u) {
      if (pos + 2 > r.size()) return "unit length past the end";
      size_t length = r[pos] << 8 | r[pos + 1];
      pos += 2;
      if (pos + length > r.size()) return "unit past the end";
      // Every unit is a piece of the input, copied unchanged.
      if (std::search(input.begin(), input.end(), r.begin() + static_cast<std::ptrdiff_t>(pos),
                      r.begin() + static_cast<std::ptrdiff_t>(pos + length)) == input.end())
        return "unit not found in the input";
      pos += length;
    }
  }
  if (pos != r.size()) return "bytes after the last array";
  if (counts[32] < 1 || counts[32] > 16 || counts[33] < 1 || counts[33] > 32 || counts[34] < 1 ||
      counts[34] > 256)
    return "parameter-set counts";
  return "";
}

void run_hevc(const Bytes& input, const std::string& label) {
  int32_t error = 0;
  HevcConfig* config =
      hevc_config_from_annexb(input.data(), static_cast<int32_t>(input.size()), 0, &error);
  if (!config) {
    ASSERT_LT(error, 0) << label;
    return;
  }
  ASSERT_EQ(error, 0) << label;
  int32_t result = 1;
  Bytes record = captured_bytes([&](ByteWriter* w) { result = write_hvcc_record(w, config); });
  hevc_config_release(config);
  if (result != 0) {
    ASSERT_EQ(result, kHevcErrorWriteRefused) << label;
    ASSERT_TRUE(record.empty()) << label;
    return;
  }
  ASSERT_EQ(check_hvcc_structure(record, input), "") << label;
}

// Reads an av1C body back: fixed part, one sequence header OBU, at most one metadata OBU.
std::string check_av1c_structure(const Bytes& r, const Bytes& input) {
  if (r.size() < 5) return "too short";
  if (r[0] != 0x81 || r[3] != 0) return "fixed part";
  if ((r[2] & 0x03) && (r[2] & 0x0C) != 0x0C) return "chroma position without 4:2:0";
  size_t pos = 4;
  for (int i = 0; pos < r.size(); ++i) {
    uint8_t header = r[pos];
    uint32_t type = header >> 3 & 0x0F;
    if (i > 1 || type != (i == 0 ? 1u : 5u)) return "unexpected OBU";
    size_t end = r.size();
    size_t body = pos + 1 + (header >> 2 & 1);
    if (header & 2) {
      uint64_t size = 0;
      for (int k = 0; k < 8; ++k) {
        if (body >= r.size()) return "size field past the end";
        uint8_t byte = r[body++];
        size |= static_cast<uint64_t>(byte & 0x7F) << (7 * k);
        if (!(byte & 0x80)) break;
      }
      if (size > r.size() - body) return "OBU past the end";
      end = body + size;
    }
    if (std::search(input.begin(), input.end(), r.begin() + static_cast<std::ptrdiff_t>(pos),
                    r.begin() + static_cast<std::ptrdiff_t>(end)) == input.end())
      return "OBU not found in the input";
    pos = end;
  }
  return "";
}

void run_av1(const Bytes& input, const std::string& label) {
  int32_t result = 1;
  Bytes body = captured_bytes([&](ByteWriter* w) {
    result = write_av1c(w, input.data(), static_cast<int32_t>(input.size()));
  });
  if (result != 0) {
    ASSERT_LT(result, 0) << label;
    ASSERT_TRUE(body.empty()) << label;
    return;
  }
  ASSERT_EQ(check_av1c_structure(body, input), "") << label;
}

// Feeds every prefix, every single-bit flip and seeded multi-byte damage of `input`.
// The copies are exactly as long as the damaged data, so the sanitizers see any overread.
template <class Run>
void damage_all_ways(const Bytes& input, Run run) {
  for (size_t n = 0; n < input.size(); ++n) {
    auto cut = std::make_unique<uint8_t[]>(n ? n : 1);
    std::memcpy(cut.get(), input.data(), n);
    run(Bytes(cut.get(), cut.get() + n), "prefix " + std::to_string(n));
    if (testing::Test::HasFatalFailure()) return;
  }
  for (size_t bit = 0; bit < input.size() * 8; ++bit) {
    Bytes flipped = input;
    flipped[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
    run(flipped, "flip " + std::to_string(bit));
    if (testing::Test::HasFatalFailure()) return;
  }
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
  for (int round = 0; round < 2000; ++round) {
    Bytes damaged = input;
    for (uint32_t k = 0, edits = 1 + next() % 6; k < edits; ++k)
      damaged[next() % damaged.size()] = static_cast<uint8_t>(next());
    run(damaged, "seeded round " + std::to_string(round));
    if (testing::Test::HasFatalFailure()) return;
  }
}

TEST(CodecConfigDamage, HevcParameterSets) {
  const Bytes streams[] = {
      annexb({hex_bytes(kHevc420Vps), hex_bytes(kHevc420Sps), hex_bytes(kHevc420Pps),
              hex_bytes(kHevc420SeiLight), hex_bytes(kHevcIdrSlice)}),
      annexb({hex_bytes(kHevc444Vps), hex_bytes(kHevc444Sps), hex_bytes(kHevc444Pps)}),
      annexb({hex_bytes(kHevcHrdVps), hex_bytes(kHevcHrdSps), hex_bytes(kHevcHrdPps),
              hex_bytes(kHevcHrdSeiBuffering)}),
  };
  for (const Bytes& stream : streams) {
    // The undamaged stream builds and writes.
    int32_t error = 0;
    HevcConfig* config =
        hevc_config_from_annexb(stream.data(), static_cast<int32_t>(stream.size()), 0, &error);
    ASSERT_NE(config, nullptr);
    Bytes record = captured_bytes([&](ByteWriter* w) { write_hvcc_record(w, config); });
    hevc_config_release(config);
    ASSERT_EQ(check_hvcc_structure(record, stream), "");
    damage_all_ways(stream, run_hevc);
    if (HasFatalFailure()) return;
  }
}

TEST(CodecConfigDamage, Av1ConfigurationObus) {
  const Bytes inputs[] = {
      concat({hex_bytes(kAv1TemporalDelimiter), hex_bytes(kAv1Vectors[3].sequence_header_obu),
              hex_bytes(kAv1MetadataLight), hex_bytes(kAv1MetadataMastering)}),
      hex_bytes(kAv1Vectors[0].sequence_header_obu),
      hex_bytes(kAv1Vectors[10].sequence_header_obu),  // timing info with a uvlc field
      hex_bytes(kAv1Vectors[11].sequence_header_obu),  // timing info and decoder model
      hex_bytes(kAv1Vectors[9].sequence_header_obu),   // reduced still-picture header
  };
  for (const Bytes& input : inputs) {
    int32_t result = -1;
    Bytes body = captured_bytes([&](ByteWriter* w) {
      result = write_av1c(w, input.data(), static_cast<int32_t>(input.size()));
    });
    ASSERT_EQ(result, 0);
    ASSERT_EQ(check_av1c_structure(body, input), "");
    damage_all_ways(input, run_av1);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
