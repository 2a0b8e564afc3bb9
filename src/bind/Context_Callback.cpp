#include "bind/Context_Callback.h"

namespace orvbind {
namespace {

// The innermost callback scope on this thread; the scopes form a chain.
thread_local const CallbackScope* innermost = nullptr;

}  // namespace

CallbackScope::CallbackScope(const Context* owner) noexcept : context(owner), outer(innermost) {
  innermost = this;
}

CallbackScope::~CallbackScope() { innermost = outer; }

bool CallbackScope::IsInside(const Context* owner) noexcept {
  for (const CallbackScope* scope = innermost; scope; scope = scope->outer)
    if (scope->context == owner) return true;
  return false;
}

}  // namespace orvbind
