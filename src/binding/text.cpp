// Text of Python objects for use inside messages.
#include "binding/text.hpp"

#include "binding/errors.hpp"

namespace cw {

std::string concat(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) {
        text.append(part);
    }
    return text;
}

std::string utf8_lossy(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) {
        return {utf8, static_cast<std::size_t>(size)};
    }
    PyErr_Clear();
    // Each byte of an encoded lone surrogate is invalid UTF-8 and decodes to one U+FFFD.
    Ref raw = require(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    Ref repaired = require(
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
    const char* utf8 = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
    if (utf8 == nullptr) {
        throw_pending();
    }
    return {utf8, static_cast<std::size_t>(size)};
}

std::string text_of(PyObject* obj) {
    if (Ref text = Ref::steal(PyObject_Str(obj))) {
        return utf8_lossy(text.get());
    }
    PyErr_WriteUnraisable(obj);
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    return concat({"<unprintable ", utf8_lossy(name.get()), " object>"});
}

std::string qualname_of(PyObject* type) {
    Ref name;
    if (PyType_Check(type)) {
        name = Ref::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
    }
    if (!name) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return utf8_lossy(name.get());
}

}  // namespace cw
