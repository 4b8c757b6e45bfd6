// OnceCallback: a move-only callable that runs at most once.
//
// Completions in quarn run exactly once; this type makes a second run a
// programming error that is caught at the call site (the callback is empty
// after it ran) instead of a silent double completion. Unlike std::function it
// accepts move-only captures.
#pragma once

#include <cassert>
#include <concepts>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace quarn::platform {

template <class Signature>
class OnceCallback;

template <class R, class... Args>
class OnceCallback<R(Args...)> {
 public:
  OnceCallback() = default;
  template <class F>
  requires(!std::same_as<std::decay_t<F>, OnceCallback> && std::invocable<F&, Args...>)
      OnceCallback(F&& f)  // NOLINT(google-explicit-constructor): used like a lambda
      : impl_(std::make_unique<Impl<std::decay_t<F>>>(std::forward<F>(f))) {}

  OnceCallback(OnceCallback&&) noexcept = default;
  OnceCallback& operator=(OnceCallback&&) noexcept = default;

  explicit operator bool() const { return impl_ != nullptr; }

  // Runs the callback and leaves this object empty. REQUIRES: not empty.
  R operator()(Args... args) && {
    assert(impl_ && "OnceCallback run twice or never set");
    auto impl = std::move(impl_);
    return impl->call(std::forward<Args>(args)...);
  }

 private:
  struct Base {
    virtual ~Base() = default;
    virtual R call(Args&&... args) = 0;
  };
  template <class F>
  struct Impl final : Base {
    explicit Impl(F f) : fn(std::move(f)) {}
    R call(Args&&... args) override { return std::invoke(fn, std::forward<Args>(args)...); }
    F fn;
  };
  std::unique_ptr<Base> impl_;
};

}  // namespace quarn::platform
