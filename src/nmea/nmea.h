// Position sentences: acquisition from the source device and the
// fixed-position generator.
#pragma once

#include <cstddef>
#include <ctime>
#include <pthread.h>

struct Config;

enum { SENTENCE_SIZE = 256 };

// Takes the source for one cycle and waits for a valid GGA sentence.
// Returns 1 when the sentence is ready, 0 when a stop was requested first,
// -1 on a fatal error (logged). On 1 and 0, *source_fd is what the cycle
// relays and releases: the target itself when source equals target, a
// descriptor of its own, or left as it was when nothing was opened.
int prepare_nmea(const Config &cfg, int target_fd, char sentence[SENTENCE_SIZE],
                 int *source_fd);

// Waits on fd for the first burst that carries an accepted sentence; 1 when
// copied into out, 0 when a stop was requested first.
int wait_for_gga(int fd, char out[SENTENCE_SIZE]);

// The accepted sentence of one burst (len bytes), without its line ending,
// copied into out; returns 1, or 0 when the burst holds none.
int extract_gga(const char *burst, size_t len, char *out, size_t out_size);

// One GGA sentence, line ending included, for the fixed position at the
// given UTC time. Returns its length, or -1 when it would not fit.
int make_gga(char *out, size_t size, const char *latitude, const char *longitude,
             const char *height, const tm &utc);

// Publishes "/dev/nmea_gen" and starts the generator thread, which writes a
// sentence into it each second until a stop is requested, then removes the
// link. Publishing first means the link is there for the first cycle.
// Returns 1 when the thread runs.
int start_generator(const Config *cfg, pthread_t *thread);
