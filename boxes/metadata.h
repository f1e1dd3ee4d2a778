// The item writers behind write_udta, visible to tests.
#pragma once

#include <cstdint>
#include <string>

#include "output/mux.h"

// A text item: box `tag` holding a UTF-8 `data` value; nothing for an empty text.
void write_text_item(MuxContext* c, const char* tag, const char* text);
// An integer item of 8, 16 or 32 bits, big-endian.
void write_int_item(MuxContext* c, const char* tag, uint32_t width_bits, int64_t value);
// `covr` from the movie's cover picture, when there is a usable one.
void write_cover_item(MuxContext* c);
// A "----" item in the com.apple.iTunes namespace; written also for an empty text.
void write_freeform_item(MuxContext* c, const char* name, const char* text);

// The iTunMOVI property list for the cast and crew texts of `m`.
std::string make_cast_and_crew_plist(const MovieMetadata& m);
// The iTunEXTC text for a rating index; empty for indices without a rating.
const char* rating_text(uint32_t rating);
