// How cont reports a failure: one line on standard error that names the
// container (and entry, when there is one), says what went wrong, and gives
// the result code by name and value, e.g. RES_BAD_FORMAT (0x80040017).
#ifndef CONT_ERRORS_H
#define CONT_ERRORS_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace cont {

// Exit statuses of every command.
enum ExitStatus { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

// An errno value as the module reports platform errors: 0x80070000 with its
// low 16 bits.
int32_t ResultFromErrno(int code);

// Where a failure happened: the container as the user wrote it, and the
// entry when the failure concerns one.
struct Place {
    std::string container;
    std::string entry;
};

// "cont: C.cnt: entry 'x': WHAT: NAME (0x...)", the code described as
// contfs::Result::Describe does. Returns kExitFailure so a command can end
// with `return Fail(...)`.
int Fail(const Place& place, const std::string& what, int32_t result);
// The same with a sentence after the code: "...: NAME (0x...); THEN".
int Fail(const Place& place, const std::string& what, int32_t result, const std::string& then);

// The same line without a result code, for failures the tool finds itself
// that have no code to give.
int FailPlain(const Place& place, const std::string& what);

// The last failure Fail or FailPlain printed, without its place: "WHAT" or
// "WHAT: NAME (0x...)", for reports that carry it beside the entry.
const std::string& LastFailure();

// Every failure printed since KeepFailures, in order, with its place: for
// --json reports, which give each beside the entry it concerns. Nothing is
// kept before (a mount that runs for days keeps nothing).
struct Failure {
    Place place;
    std::string what;
};
void KeepFailures();
const std::vector<Failure>& Failures();
// Keeps a failure said otherwise (the module that cannot be loaded).
void NoteFailure(const Place& place, const std::string& what);
// The failure as its line says it, without "cont: ": "C.cnt: entry 'x': WHAT".
std::string Described(const Failure& failure);

// "WHAT: the system's reason" (errno as it is now), for a failure told
// without a result code.
std::string SystemReason(const std::string& what);

// "cont COMMAND: WHAT" plus a hint to --help; returns kExitUsage.
int UsageError(const char* command, const std::string& what);

// Prints entry names safely and unambiguously: control bytes become \xNN
// and a backslash is doubled.
std::string Printable(const std::string& text);
// The same, appended to out.
void AppendPrintable(std::string* out, const std::string& text);

// Names longer than this are cut for messages.
constexpr size_t kShownNameBytes = 128;

// The name itself when it is no longer than kShownNameBytes, else its start
// and "...", together that long.
std::string ShortName(const std::string& name);

// A name for a message, in single quotes and printable; a long one is cut
// (ShortName) and followed by its length, so one line stays one line even
// for a name of megabytes.
std::string QuotedName(const std::string& name);

}  // namespace cont

#endif
