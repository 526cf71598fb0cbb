#pragma once
// A non-owning reference to a callable: what a worker pool runs, without the allocation a
// std::function may make.

#include <type_traits>
#include <utility>

namespace krodan {

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
  public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef>)
    FunctionRef(F&& f)  // NOLINT: converts implicitly, like std::function
        : object_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* o, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

  private:
    void* object_;
    R (*call_)(void*, Args...);
};

}  // namespace krodan
