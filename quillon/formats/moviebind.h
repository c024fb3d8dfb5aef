// The movie library binding: the few movie operations the QuickTime module needs, served by
// FFmpeg's libavformat, libavcodec and libswresample loaded at run time (dlopen), so that quillon
// runs without them and only this module needs them. The headers give the types; every call goes
// through a pointer looked up when the libraries are loaded.
#pragma once

#include <cstdint>

struct gfile;

enum : int {
  MOVIE_OK = 0,
  MOVIE_ERR_NOLIBRARY = 1,  // a library is missing (or of another major version)
  MOVIE_ERR_NOENTRY = 2,    // a library lacks an entry point
  MOVIE_ERR_NOTINIT = 3,    // a call without a successful movie_init
  MOVIE_ERR_OPEN = 4,       // not a movie the library can read
  MOVIE_ERR_NOTRACKS = 5,
  MOVIE_ERR_NOSOUND = 6,  // no sound track
  MOVIE_ERR_CODEC = 7,    // no decoder for the sound track
  MOVIE_ERR_CONVERT = 8,  // decoding or writing the WAVE file failed
};

// Loads the libraries on the first use; a use count keeps them until the last movie_release.
// Set QUILLON_MOVIELIBS to a folder to load them from there instead of the system's paths.
int movie_init();
void movie_release();

struct MOVIE;

// Opens the movie held by `file` (read through the file, never by name).
int movie_open(gfile* file, MOVIE** out);
void movie_close(MOVIE* movie);

// The first sound track as it will be delivered: at most two channels.
struct MOVIE_SOUND {
  int channels;
  int32_t rate;
  int64_t frames;  // from the container; the decoded count may differ slightly
};
int movie_sound(MOVIE* movie, MOVIE_SOUND* sound);

// Decodes the first sound track into the empty file open as `fd`: a 16-bit little-endian PCM
// WAVE file, mixed down to two channels. *frames gets the frames written.
int movie_towave(MOVIE* movie, int fd, int64_t* frames);
