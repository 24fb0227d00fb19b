// FunctionRef: a non-owning reference to a callable, for callbacks that are called often and
// stored nowhere (a stop check polled by a long loop, a consumer fed from a stream). Two words,
// no allocation, one indirect call; the callable must outlive every call through the reference.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace dorvane {

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
             std::is_invocable_r_v<R, F&, Args...>)
  FunctionRef(F&& callable) noexcept  // NOLINT: implicit, like a function pointer
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
        call_([](void* object, Args... args) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(object))(std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

}  // namespace dorvane
