/* A minimal host, in C: loads the plug-in, walks its format table and prints
 * the catalogue. The function drive_session() below shows the order in which a
 * host drives one writer session; it runs only when a format code and an
 * output file are given, and writes a file only once the single-stream slots
 * are functional.
 *
 *   host_example [path/to/mx_mp4.so] [FOURCC OUTPUT]
 *   host_example.exe [path\to\mx_mp4.dll] [FOURCC OUTPUT]
 *
 * Without a path the plug-in is looked for beside this program.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mx_mp4/host.h"

/* Loading the library and finding its exports: LoadLibraryW and
 * GetProcAddress on Windows, dlopen and dlsym elsewhere. */
#ifdef _WIN32
#include <windows.h>

#define PLUGIN_FILE "mx_mp4.dll"

static void* load_plugin(const char* path) {
  wchar_t wide_path[4096];
  if (MultiByteToWideChar(CP_UTF8, 0, path, -1, wide_path, 4096) == 0) return NULL;
  return (void*)LoadLibraryW(wide_path);
}
static void* find_export(void* plugin, const char* name) {
  return (void*)GetProcAddress((HMODULE)plugin, name);
}
static void unload_plugin(void* plugin) {
  FreeLibrary((HMODULE)plugin);
}
static const char* load_error(void) {
  static char text[64];
  snprintf(text, sizeof text, "error %lu", (unsigned long)GetLastError());
  return text;
}
#else
#include <dlfcn.h>

#define PLUGIN_FILE "mx_mp4.so"

static void* load_plugin(const char* path) {
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}
static void* find_export(void* plugin, const char* name) {
  return dlsym(plugin, name);
}
static void unload_plugin(void* plugin) {
  dlclose(plugin);
}
static const char* load_error(void) {
  return dlerror();
}
#endif

/* Prints UTF-16 text as UTF-8. */
static void print_utf16(const MxChar* text) {
  for (; *text != 0; ++text) {
    unsigned long cp = *text;
    if (cp >= 0xD800 && cp <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[1] - 0xDC00);
      ++text;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      putchar((int)cp);
    } else if (cp < 0x800) {
      putchar((int)(0xC0 | (cp >> 6)));
      putchar((int)(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      putchar((int)(0xE0 | (cp >> 12)));
      putchar((int)(0x80 | ((cp >> 6) & 0x3F)));
      putchar((int)(0x80 | (cp & 0x3F)));
    } else {
      putchar((int)(0xF0 | (cp >> 18)));
      putchar((int)(0x80 | ((cp >> 12) & 0x3F)));
      putchar((int)(0x80 | ((cp >> 6) & 0x3F)));
      putchar((int)(0x80 | (cp & 0x3F)));
    }
  }
}

static void print_fourcc(uint32_t code) {
  for (int i = 0; i < 4; ++i) putchar((int)((code >> (8 * i)) & 0xFF));
}

static void print_codecs(const char* label, const CodecListEntry* list) {
  printf("    %s:", label);
  if (list == NULL) {
    printf(" none\n");
    return;
  }
  for (; list->fourcc != 0; ++list) {
    printf(" \"");
    print_fourcc(list->fourcc);
    printf("\"%s", list->aux ? "*" : "");
  }
  printf("\n");
}

static uint32_t fourcc_from_text(const char* text) {
  char c[4] = {' ', ' ', ' ', ' '};
  for (int i = 0; i < 4 && text[i] != 0; ++i) c[i] = text[i];
  return MX_FOURCC(c[0], c[1], c[2], c[3]);
}

/* The order in which a host drives one single-stream session. The records are
 * large (EncParam is 33936 bytes), so they are allocated, zeroed. */
static int drive_session(const FormatDescriptor* format, const char* output) {
  const SingleStreamSlots* slots = &format->slots.single;
  EncParam* params = calloc(1, sizeof *params);
  MxChar name[1024];
  size_t n = 0;
  if (params == NULL) return 1;
  for (; output[n] != 0 && n + 1 < sizeof name / sizeof name[0]; ++n) {
    name[n] = (unsigned char)output[n]; /* ASCII names only, in this example */
  }
  name[n] = 0;

  /* 1. Optional module-wide options, before the session is created. */
  if (slots->SetWriterOptions != NULL) {
    WriterOptions options = {0};
    slots->SetWriterOptions(&options);
  }
  /* 2. Describe the file: the container code, then the streams. This example
   *    declares one stream of 16-bit PCM, 48 kHz stereo, and no video. */
  params->file_fourcc = format->fourcc;
  params->no_video = 1;
  params->no_subpicture = 1;
  params->no_timecode = 1;
  params->audio.fourcc = MX_FOURCC('P', 'C', 'M', ' ');
  params->audio.sample_rate = 48000;
  params->audio.channels = 2;
  params->audio.bits_per_sample = 16;
  MxSession session = slots->CreateMediaFile(name, params);
  free(params);
  if (session == NULL) {
    printf("CreateMediaFile refused the file (see the plug-in's log)\n");
    return 1;
  }
  /* 3. Codec configuration goes in before the first frame: for AAC the
   *    AudioSpecificConfig through WriteAudioExtraData; for video the two
   *    parts (for example SPS and PPS) through WriteVideoExtraData. PCM has
   *    none. */
  /* 4. Frames, in decoding order, time stamps in 100-nanosecond units: here
   *    one second of silence in blocks of 1024 sample frames. PCM needs no
   *    frame info array. */
  static const uint8_t silence[1024 * 2 * 2];
  MxAudioFrame frame;
  memset(&frame, 0, sizeof frame);
  frame.channels = 2;
  frame.data = silence;
  frame.size = (int32_t)sizeof silence;
  for (int64_t samples = 0; samples < 48000; samples += 1024) {
    frame.pts = frame.dts = samples * 10000000 / 48000;
    if (slots->WriteAudioFrame(session, &frame, NULL) == 0xFFFFFFFFu) break;
  }
  /* 5. Close: finishes the file (writes the movie box) and frees the session. */
  slots->CloseMediaFile(session);
  printf("wrote %s\n", output);
  return 0;
}

int main(int argc, char** argv) {
  char default_path[4096];
  const char* path = argc > 1 ? argv[1] : NULL;
  if (path == NULL) {
    /* Beside this program. */
    const char* slash = strrchr(argv[0], '/');
#ifdef _WIN32
    const char* backslash = strrchr(argv[0], '\\');
    if (backslash != NULL && (slash == NULL || backslash > slash)) slash = backslash;
#endif
    int dir_length = slash ? (int)(slash - argv[0]) : 1;
    snprintf(default_path, sizeof default_path, "%.*s/" PLUGIN_FILE, dir_length,
             slash ? argv[0] : ".");
    path = default_path;
  }
  void* plugin = load_plugin(path);
  if (plugin == NULL) {
    fprintf(stderr, "cannot load %s: %s\n", path, load_error());
    return 1;
  }
  /* Function pointers travel through void* here; POSIX and Windows allow it. */
  GetFileFormatsFn get_formats = (GetFileFormatsFn)find_export(plugin, "GetFileFormats");
  GetFileMultiStreamFormatsFn get_multi =
      (GetFileMultiStreamFormatsFn)find_export(plugin, "GetFileMultiStreamFormats");
  if (get_formats == NULL || get_multi == NULL) {
    fprintf(stderr, "%s is not an mx_mp4 plug-in\n", path);
    unload_plugin(plugin);
    return 1;
  }

  /* The table ends at an entry whose fourcc is 0. */
  const FormatDescriptor* formats = get_formats();
  int count = 0;
  printf("Formats of %s (* = auxiliary value 1):\n", path);
  for (const FormatDescriptor* f = formats; f->fourcc != 0; ++f, ++count) {
    printf("  \"");
    print_fourcc(f->fourcc);
    printf("\"  ");
    print_utf16(f->extension);
    printf("  ");
    print_utf16(f->short_name);
    printf(" - ");
    print_utf16(f->description);
    printf("%s\n", f->slots.single.SetWriterOptions ? "  [options]" : "");
    print_codecs("audio", f->audio_codecs);
    print_codecs("video", f->video_codecs);
  }
  printf("%d single-stream formats\n", count);

  /* The multi-stream table has the same codes; its slots start one word later
   * (the first word is null). */
  int multi_count = 0;
  for (const FormatDescriptor* f = get_multi(); f->fourcc != 0; ++f) ++multi_count;
  printf("%d multi-stream formats\n", multi_count);

  int status = 0;
  if (argc > 3) {
    uint32_t wanted = fourcc_from_text(argv[2]);
    const FormatDescriptor* f = formats;
    while (f->fourcc != 0 && f->fourcc != wanted) ++f;
    if (f->fourcc == 0) {
      fprintf(stderr, "no format \"%s\"\n", argv[2]);
      status = 1;
    } else {
      status = drive_session(f, argv[3]);
    }
  }
  unload_plugin(plugin);
  return status;
}
