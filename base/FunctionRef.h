#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace fp {

template <typename Signature>
class FunctionRef;

// A callable passed down a call without a copy or an allocation: it refers to the caller's
// callable, which must outlive every call through the reference (a lambda argument does, for
// the call it is passed to). std::function, by contrast, may allocate for a lambda with a few
// captures, on every call of the function that takes it.
template <typename R, typename... Args>
class FunctionRef<R(Args...)> {
 public:
  template <typename F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
           std::is_invocable_r_v<R, F&, Args...>)
      FunctionRef(F&& f)  // NOLINT(google-explicit-constructor): converts like std::function
      : _object(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        _call([](void* object, Args... args) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(object))(std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return _call(_object, std::forward<Args>(args)...); }

 private:
  void* _object;
  R (*_call)(void*, Args...);
};

}  // namespace fp
