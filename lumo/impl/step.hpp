// lumo: the library's step of time. The tick counts it, bounded waits last whole steps of it and
// retries pause for one, so that callers tuned to one of them find the same grain in the others.
#ifndef LUMO_IMPL_STEP_HPP
#define LUMO_IMPL_STEP_HPP

namespace lumo {

constexpr int kStepMs = 10;

}  // namespace lumo

#endif
