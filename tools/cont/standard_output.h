// Everything cont prints for its user goes to standard output through these
// calls, so that a write that fails (a full disk, a file size limit) ends
// the command with status 1 and the system's reason rather than with a
// listing cut short and status 0.
#ifndef CONT_STANDARD_OUTPUT_H
#define CONT_STANDARD_OUTPUT_H

#include <stddef.h>

#include <string>

namespace cont {

// printf to standard output; a failure is kept for FlushOut to report.
void PrintOut(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Text as it is, without a format; a failure is kept like PrintOut's.
void PutOut(const std::string& text);

// Raw bytes (an entry's content). False with the reason when they could not
// all be written.
bool WriteOut(const void* data, size_t size, std::string* reason);

// Pushes out what is buffered, so it comes before what follows on standard
// error; a failure is kept like PrintOut's.
void FlushOut();

// After a last flush: true with the reason when any write to standard
// output failed.
bool OutputFailed(std::string* reason);

}  // namespace cont

#endif
