// Errors as values: every native operation returns Result<T, E>. Only the
// Python boundary turns an error into an exception.
//
// A panic is an internal failure the code cannot continue from: a broken
// invariant, an impossible conversion. It unwinds as a C++ exception, releasing
// everything on the way, and the Python boundary turns it into PanicException.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace corvane {

struct Panic {
    std::string message;
};

[[noreturn]] inline void panic(std::string message) { throw Panic{std::move(message)}; }

// The value of an operation that produces nothing but may fail.
struct Unit {
    friend bool operator==(Unit, Unit) = default;
};

template <class E>
struct Failure {
    E error;
};

// Wraps an error so that it converts into any Result with a compatible error type.
template <class E>
Failure<std::decay_t<E>> fail(E&& error) {
    return Failure<std::decay_t<E>>{std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}

    template <class U>
        requires std::is_constructible_v<E, U&&>
    Result(Failure<U> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }

    E& error() & { return std::get<1>(state_); }
    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    // Passes the error on to a caller whose Result has another value type.
    Failure<E> take_failure() && { return Failure<E>{std::move(error())}; }

private:
    std::variant<T, E> state_;
};

template <class T>
struct is_result : std::false_type {};
template <class T, class E>
struct is_result<Result<T, E>> : std::true_type {};
template <class T>
inline constexpr bool is_result_v = is_result<std::remove_cvref_t<T>>::value;

}  // namespace corvane
