// A nesting guard for bodies that recurse through their own C++ code: a
// per-thread depth checked against the interpreter's recursion limit, and the
// stack address checked against the thread's real stack bounds, so that deep
// or self-containing input ends in RecursionError on any thread, small stacks
// included, instead of overflowing the stack.
#pragma once

#include <cstdint>

#include "frame/compiler.hpp"
#include "frame/frame.hpp"

namespace frame {

struct DepthState {
  int depth = 0;             // levels entered on this thread, through any route
  std::uintptr_t floor = 0;  // lowest stack address a level may start at; 0: not yet known
};

// Constant-initialised, so no per-thread constructor runs.
inline thread_local DepthState t_depth;

// This thread's floor, worked out from its stack bounds (stack.cpp).
FRAME_NOINLINE FRAME_COLD std::uintptr_t stack_floor() noexcept;
// Sets RecursionError; returns false.
FRAME_NOINLINE FRAME_COLD bool recursion_error() noexcept;

// Whether the stack has room for one more call that may recurse; false
// with RecursionError set.
FRAME_ALWAYS_INLINE bool stack_room() noexcept {
  DepthState& state = t_depth;
  if (!state.floor) state.floor = stack_floor();
  if (FRAME_STACK_HERE() > state.floor) return true;
  return recursion_error();
}

// One call's view of this thread's nesting: the recursion limit and the
// stack floor, read once.
class Depth {
 public:
  Depth() noexcept : state_(&t_depth), limit_(Py_GetRecursionLimit()) {
    if (!state_->floor) state_->floor = stack_floor();
    floor_ = state_->floor;
  }
  Depth(const Depth&) = delete;
  Depth& operator=(const Depth&) = delete;

  // Whether a Level would be entered now.
  bool can_enter() const noexcept { return state_->depth < limit_; }

  // Whether the stack has room for one more level that recurses; false with
  // RecursionError set.
  FRAME_ALWAYS_INLINE bool room() const noexcept {
    if (FRAME_STACK_HERE() > floor_) return true;
    return recursion_error();
  }

 private:
  friend class Level;
  DepthState* state_;
  int limit_;
  std::uintptr_t floor_;
};

// One level of nesting, entered for as long as it lives. False (with
// RecursionError set) when the recursion limit is reached; then nothing
// was entered.
class Level {
 public:
  explicit Level(const Depth& depth) noexcept
      : state_(depth.state_->depth < depth.limit_ ? depth.state_ : nullptr) {
    if (state_)
      ++state_->depth;
    else
      recursion_error();
  }
  ~Level() {
    if (state_) --state_->depth;
  }
  Level(const Level&) = delete;
  Level& operator=(const Level&) = delete;
  explicit operator bool() const noexcept { return state_ != nullptr; }

 private:
  DepthState* state_;
};

}  // namespace frame
