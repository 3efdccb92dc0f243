// A non-owning reference to a callable, for core functions that hand each
// result to the binding layer as it is found (so no intermediate vector of
// results is built and walked a second time).
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace kl {

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
                 std::is_invocable_r_v<R, F&, Args...>)
    FunctionRef(F&& f) noexcept  // NOLINT: implicit by design, like a function pointer
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* o, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    R (*call_)(void*, Args...);
};

}  // namespace kl
