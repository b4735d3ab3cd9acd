// Refusals of the access flag, as the caller sees them.
#include "binding/access.hpp"

namespace cw {

void refuse_shared() {
    throw PyError::deferred(PyExc_RuntimeError, "Already mutably borrowed");
}

void refuse_exclusive() {
    throw PyError::deferred(PyExc_RuntimeError, "Already borrowed");
}

}  // namespace cw
