// Parameter descriptions and the binding of positional and keyword arguments to them. The first
// `required` parameters must be given; the first `positional` may be given by position, the rest
// only by keyword. By default every parameter is positional-or-keyword and required.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "binding/convert.hpp"

namespace cw {

template <std::size_t N>
struct Signature {
    std::string_view owner;     // "Broker"
    std::string_view function;  // "buy", or "__new__" for a constructor
    std::array<std::string_view, N> names;
    std::size_t required = N;
    std::size_t positional = N;
};

struct SignatureView {
    std::string_view owner;
    std::string_view function;
    const std::string_view* names;
    std::size_t count;
    std::size_t required;
    std::size_t positional;

    template <std::size_t N>
    SignatureView(const Signature<N>& sig)  // NOLINT: a view of any signature
        : owner(sig.owner), function(sig.function), names(sig.names.data()), count(N),
          required(sig.required), positional(sig.positional) {}
};

// Arguments bound to their parameters, each borrowed from the caller for the duration of the call.
template <std::size_t N>
class Args {
public:
    static constexpr std::size_t size = N;

    explicit Args(const Signature<N>& sig) noexcept : sig_(sig) {}

    // Converts parameter i; a failure is reported under its name.
    template <auto Convert>
    auto get(std::size_t i) const {
        return convert_arg<Convert>(slots_[i], sig_.names[i]);
    }
    [[nodiscard]] std::string_view name(std::size_t i) const noexcept { return sig_.names[i]; }
    // An optional parameter that was left out.
    [[nodiscard]] bool given(std::size_t i) const noexcept { return slots_[i] != nullptr; }
    template <auto Convert, class Default>
    auto get_or(std::size_t i, Default fallback) const -> decltype(Convert(nullptr)) {
        return given(i) ? get<Convert>(i) : fallback;
    }

    PyObject** slots() noexcept { return slots_.data(); }
    // Room to hold values bound from a keyword dict: the dict is the caller's only hold on them,
    // and a conversion (a __float__) can empty it. A vector call's stack is held by the caller,
    // and positional-only calls make no room.
    Ref* hold() { return held_.emplace().data(); }

private:
    const Signature<N>& sig_;
    std::array<PyObject*, N> slots_{};
    std::optional<std::array<Ref, N>> held_;
};

void bind_vector_slow(SignatureView sig, PyObject* const* args, std::size_t nargs,
                      PyObject* kwnames, PyObject** slots);
void bind_tuple_dict(SignatureView sig, PyObject* args, PyObject* kwargs, PyObject** slots,
                     Ref* held);

// A method's vector call: (argument vector, positional count, tuple of keyword names or null).
template <std::size_t N>
Args<N> bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargsf,
             PyObject* kwnames) {
    Args<N> bound(sig);
    const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(nargsf)));
    if (kwnames == nullptr && nargs == N && sig.positional == N) [[likely]] {
        for (std::size_t i = 0; i < N; ++i) {
            bound.slots()[i] = args[i];
        }
    } else {
        bind_vector_slow(sig, args, nargs, kwnames, bound.slots());
    }
    return bound;
}

// A constructor's call: (tuple of positional arguments, dict of keyword arguments or null).
template <std::size_t N>
Args<N> bind(const Signature<N>& sig, PyObject* args, PyObject* kwargs) {
    Args<N> bound(sig);
    bind_tuple_dict(sig, args, kwargs, bound.slots(), kwargs != nullptr ? bound.hold() : nullptr);
    return bound;
}

}  // namespace cw
