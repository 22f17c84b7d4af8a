// A function's signature as the function table writes it: its name and its
// parameters in order, each with the kind of value it takes, and the
// text-signature doc string derived from them.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace vuvirida::lib {

// `array`: the time array, a one-dimensional float64 NumPy array, always the
// first parameter. `real`: a float64. `integer`: an unsigned 64-bit count.
enum class Kind { array, real, integer };

struct Parameter {
    const char* name;
    Kind kind;
};

// Every parameter may be given by position or by keyword, and every one is
// required.
template <std::size_t N>
struct Signature {
    const char* name;
    Parameter parameters[N];
};

// The words a row of the function table is written in.
namespace kinds {
constexpr Parameter array(const char* name) noexcept {
    return {name, Kind::array};
}
constexpr Parameter real(const char* name) noexcept {
    return {name, Kind::real};
}
constexpr Parameter integer(const char* name) noexcept {
    return {name, Kind::integer};
}
}  // namespace kinds

template <class... P>
constexpr Signature<sizeof...(P)> signature(const char* name, P... parameters) noexcept {
    return {name, {parameters...}};
}

namespace detail {

inline constexpr std::string_view kTextSignatureEnd = ")\n--\n\n";

template <std::size_t N>
constexpr std::size_t text_signature_length(const Signature<N>& s) noexcept {
    std::size_t length = std::string_view(s.name).size() + 1 + kTextSignatureEnd.size();
    for (std::size_t i = 0; i < N; ++i) {
        length += std::string_view(s.parameters[i].name).size() + (i > 0 ? 2 : 0);
    }
    return length;
}

}  // namespace detail

// "name(first, second, ...)\n--\n\n" with its NUL: the interpreter shows the
// parenthesised list as the function's text signature, and as nothing
// follows the marker, the function has no docstring.
template <const auto& s>
inline constexpr auto text_signature = [] {
    std::array<char, detail::text_signature_length(s) + 1> text{};
    std::size_t at = 0;
    const auto append = [&](std::string_view part) {
        for (const char c : part) text[at++] = c;
    };
    append(s.name);
    append("(");
    for (std::size_t i = 0; i < std::size(s.parameters); ++i) {
        if (i > 0) append(", ");
        append(s.parameters[i].name);
    }
    append(detail::kTextSignatureEnd);
    return text;
}();

}  // namespace vuvirida::lib
