// The one way a step fails while the program runs: by return value, with
// the Python exception set, as compiled Python does (so a handler that
// catches a failure in a loop costs no unwinding). A step returns
//  - `Owned`: an object, null on failure (ref.hpp);
//  - `Status`: nothing, or failure;
//  - `Result<T>`: a plain value (a flag, a count), or failure.
// `return failure;` leaves any of them, and CHECK/LET pass a failure on.
// Import-time code throws instead (error.hpp says where and why).
#pragma once

namespace rt {

// "A Python exception is set": what a failed step of a method body returns.
// It converts to a null `Owned` and to a failed `Status`, so one
// `return failure;` leaves any body or helper (CHECK below).
struct Failure {};
inline constexpr Failure failure{};

// The outcome of a step that yields no object. Must be checked.
class [[nodiscard]] Status {
public:
    constexpr Status(Failure) noexcept : ok_(false) {}
    static constexpr Status success() noexcept { return Status(true); }
    constexpr explicit operator bool() const noexcept { return ok_; }

private:
    constexpr explicit Status(bool ok) noexcept : ok_(ok) {}
    bool ok_;
};
inline constexpr Status ok = Status::success();

// Status of a C API call that returns a negative number on failure.
inline Status status(int result) noexcept { return result < 0 ? Status(failure) : ok; }

// A plain value, or failure with the Python exception set.
template <typename T>
class [[nodiscard]] Result {
public:
    constexpr Result(Failure) noexcept : value_(), ok_(false) {}
    constexpr Result(T value) noexcept : value_(value), ok_(true) {}
    constexpr explicit operator bool() const noexcept { return ok_; }
    // Only after a successful test.
    constexpr T value() const noexcept { return value_; }

private:
    T value_;
    bool ok_;
};

}  // namespace rt

// Leaves the enclosing body or helper if `expr` (an Owned, a Status, a
// Result or a pointer) says that a Python exception is set.
#define CHECK(expr)                    \
    do {                               \
        if (!(expr)) {                 \
            return ::rt::failure;      \
        }                              \
    } while (0)
