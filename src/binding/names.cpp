// Attribute names the module looks up, interned once per process.
#include "binding/names.hpp"

#include "binding/once.hpp"

namespace cw {
namespace {

OnceCell<Names> g_names;

Ref intern(const char* text) {
    return require(PyUnicode_InternFromString(text));
}

}  // namespace

const Names& names() {
    return g_names.get([] {
        Ref all = intern("__all__");
        Ref init = intern("init");
        Ref next = intern("next");
        // Kept for the life of the process.
        return Names{all.release(), init.release(), next.release()};
    });
}

}  // namespace cw
