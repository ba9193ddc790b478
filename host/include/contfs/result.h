// A result code of the module, with its name: what every call of the host
// library returns. The values are those of <qlx/result.h>; a Result
// converts to and from them freely, so it compares with S_OK,
// RES_END_OF_DATA and the rest as the plain code does.
#ifndef CONTFS_RESULT_H
#define CONTFS_RESULT_H

#include <qlx/result.h>
#include <stdint.h>

#include <string>

namespace contfs {

class [[nodiscard]] Result {
public:
    constexpr Result(int32_t code = S_OK) noexcept : code_(code) {}
    constexpr operator int32_t() const noexcept { return code_; }

    constexpr int32_t code() const noexcept { return code_; }
    // Successes include RES_END_OF_DATA; failures have the top bit set.
    constexpr bool ok() const noexcept { return QLX_SUCCEEDED(code_); }
    constexpr bool failed() const noexcept { return QLX_FAILED(code_); }

    // The symbolic name ("RES_BAD_FORMAT"), or null when the code has none.
    const char* Name() const noexcept;
    // "NAME (0xXXXXXXXX)". A platform error (0x8007xxxx without a name of
    // its own) names the errno value it carries; E_OUTOFMEMORY says "out of
    // memory" in words before its name.
    std::string Describe() const;

private:
    int32_t code_;
};

}  // namespace contfs

#endif
