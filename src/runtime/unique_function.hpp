// A callable without arguments that may own move-only state.
// std::move_only_function would do, but not every standard library the
// module is built with has it (the release build's does not).
#pragma once

#include <concepts>
#include <memory>
#include <type_traits>
#include <utility>

namespace palettra {

template <class R>
class UniqueFunction {
 public:
  template <class F>
    requires(!std::same_as<std::remove_cvref_t<F>, UniqueFunction> && std::is_invocable_r_v<R, F&>)
  UniqueFunction(F body) : body_(std::make_unique<Holder<F>>(std::move(body))) {}

  R operator()() { return body_->run(); }

 private:
  struct Body {
    virtual ~Body() = default;
    virtual R run() = 0;
  };

  template <class F>
  struct Holder final : Body {
    explicit Holder(F body) : body(std::move(body)) {}
    R run() override { return body(); }
    F body;
  };

  std::unique_ptr<Body> body_;
};

}  // namespace palettra
