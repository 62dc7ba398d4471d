#pragma once
// A borrowed callable: a pointer to the callable and one to a function that
// calls it. Unlike std::function it never allocates, so a hot loop may hand a
// capturing lambda to the worker pool; the callable must outlive the call it
// is passed to.

#include <memory>
#include <type_traits>
#include <utility>

namespace korvane {

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
  public:
    template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
             std::is_invocable_r_v<R, F&, Args...>)
        FunctionRef(F&& f)  // NOLINT: implicit, like std::function
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* object, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(object))(
                  std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

  private:
    void* object_;
    R (*call_)(void*, Args...);
};

}  // namespace korvane
