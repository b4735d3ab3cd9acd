// Text of Python objects for use inside messages; never fails on the object's account.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "binding/compat.hpp"

namespace cw {

// Message text from pieces.
[[nodiscard]] std::string concat(std::initializer_list<std::string_view> parts);
// UTF-8 of a str; unencodable code points (lone surrogates) become U+FFFD.
[[nodiscard]] std::string utf8_lossy(PyObject* str);
// str(obj); if that raises, the error is written as unraisable and a placeholder is used.
[[nodiscard]] std::string text_of(PyObject* obj);
// The type's qualified name, or a placeholder if it cannot be had.
[[nodiscard]] std::string qualname_of(PyObject* type);

}  // namespace cw
