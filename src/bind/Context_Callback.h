// Marks the stretch in which a host callback runs, so that the table can
// refuse calls made from inside it: the callbacks run while the context walks
// its channel queue or renders, and a call from there would change what is
// being walked (a Respatialize) or stop what is being made (a PlayAbsolute).
#pragma once

namespace orvbind {

class Context;

// Set for the calling thread while one of context's callbacks runs. Nests.
class CallbackScope {
 public:
  explicit CallbackScope(const Context* context) noexcept;
  ~CallbackScope();
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;

  // True while this thread is inside one of context's callbacks.
  static bool IsInside(const Context* context) noexcept;

 private:
  const Context* context;
  const CallbackScope* outer;  // the scope this one runs inside, if any
};

}  // namespace orvbind
