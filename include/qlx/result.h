// Result codes shared by the module and its hosts.
//
// A result is a signed 32-bit value; failures have the top bit set. The
// values are part of the binary contract with hosts and never change.
#ifndef QLX_RESULT_H
#define QLX_RESULT_H

#include <stdint.h>

#include "language.h"

#define QLX_RESULT(v) ((int32_t)(uint32_t)(v))

#define S_OK                 QLX_RESULT(0x00000000u)
#define RES_END_OF_DATA      QLX_RESULT(0x00040042u) /* success: nothing left to read */
#define E_NOTIMPL            QLX_RESULT(0x80004001u)
#define E_NOINTERFACE        QLX_RESULT(0x80004002u)
#define E_POINTER            QLX_RESULT(0x80004003u)
#define E_FAIL               QLX_RESULT(0x80004005u)
#define E_ACCESSDENIED       QLX_RESULT(0x80070005u)
#define E_OUTOFMEMORY        QLX_RESULT(0x8007000Eu)
#define E_INVALIDARG         QLX_RESULT(0x80070057u)
#define RES_OPEN_FAILED      QLX_RESULT(0x80040008u) /* a file could not be created, opened or removed */
#define RES_UNEXPECTED       QLX_RESULT(0x80040009u) /* not possible in the object's state */
#define RES_INCOMPLETE       QLX_RESULT(0x8004000Cu) /* fewer items than asked; unclosed quote */
#define RES_BAD_FORMAT       QLX_RESULT(0x80040017u) /* container magic or version not accepted */
#define RES_IO_ERROR         QLX_RESULT(0x80040081u) /* read, write, seek or close failed; no file open */
#define RES_INVALID_URL      QLX_RESULT(0x80040082u)
#define RES_INVALID_PROTOCOL QLX_RESULT(0x800400C9u)
#define RES_INVALID_HOST     QLX_RESULT(0x800400CBu)
#define RES_INVALID_PATH     QLX_RESULT(0x800400CCu)

/* The name of a result code as defined above ("RES_BAD_FORMAT"), a static
   text; null for a code without a name (a platform error other than those
   named carries an errno value in its low 16 bits: strerror(r & 0xFFFF)). */
QLX_INLINE const char* QLXResultName(int32_t result) {
    switch (result) {
        case S_OK: return "S_OK";
        case RES_END_OF_DATA: return "RES_END_OF_DATA";
        case E_NOTIMPL: return "E_NOTIMPL";
        case E_NOINTERFACE: return "E_NOINTERFACE";
        case E_POINTER: return "E_POINTER";
        case E_FAIL: return "E_FAIL";
        case E_ACCESSDENIED: return "E_ACCESSDENIED";
        case E_OUTOFMEMORY: return "E_OUTOFMEMORY";
        case E_INVALIDARG: return "E_INVALIDARG";
        case RES_OPEN_FAILED: return "RES_OPEN_FAILED";
        case RES_UNEXPECTED: return "RES_UNEXPECTED";
        case RES_INCOMPLETE: return "RES_INCOMPLETE";
        case RES_BAD_FORMAT: return "RES_BAD_FORMAT";
        case RES_IO_ERROR: return "RES_IO_ERROR";
        case RES_INVALID_URL: return "RES_INVALID_URL";
        case RES_INVALID_PROTOCOL: return "RES_INVALID_PROTOCOL";
        case RES_INVALID_HOST: return "RES_INVALID_HOST";
        case RES_INVALID_PATH: return "RES_INVALID_PATH";
        default: return (const char*)0;
    }
}

#define QLX_SUCCEEDED(r) ((int32_t)(r) >= 0)
#define QLX_FAILED(r)    ((int32_t)(r) < 0)

/* A platform error code (errno here) as a result: 0x80070000 | low 16 bits.
   A code of 0 or less is passed through unchanged. */
QLX_INLINE int32_t QLXResultFromPlatformError(int32_t code) {
    return code <= 0 ? code : QLX_RESULT(0x80070000u | ((uint32_t)code & 0xFFFFu));
}

#endif
