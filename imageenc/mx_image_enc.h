/* The sibling image plug-in's export, as the movie writer calls it.
 *
 * AddPicLivephotoMetaInfo writes the still of a Live Photo: the given JPEG
 * bytes, unchanged except for an Exif segment whose Apple maker note carries
 * the content identifier, to the file at jpeg_path. */
#ifndef MX_IMAGE_ENC_H
#define MX_IMAGE_ENC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results. */
#define MX_STILL_WRITTEN 0u
#define MX_STILL_BAD_ARGUMENTS 1u /* a null pointer, empty or overlong identifier */
#define MX_STILL_NOT_JPEG 2u      /* the bytes do not start with a JPEG start-of-image */
#define MX_STILL_WRITE_FAILED 3u  /* the file could not be written; nothing is left behind */

#ifdef _WIN32
#define MX_IMAGE_ENC_EXPORT /* exported through mx_ImageEnc.def */
#else
#define MX_IMAGE_ENC_EXPORT __attribute__((visibility("default")))
#endif

typedef uint32_t (*AddPicLivephotoMetaInfoFn)(const char* jpeg_path, const uint8_t* bytes,
                                              uint32_t size, const char* content_id);

MX_IMAGE_ENC_EXPORT uint32_t AddPicLivephotoMetaInfo(const char* jpeg_path, const uint8_t* bytes,
                                                     uint32_t size, const char* content_id);

#ifdef __cplusplus
}
#endif

#endif
