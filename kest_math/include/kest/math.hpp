// Deterministic arithmetic: the PCG32 generator every die is drawn from, and floor division.
//
// Threads: every function may be called from any number of threads at once. None keeps state
// between calls, and what is passed by const reference or by view is only read. A `Pcg32` is
// a plain value: each thread draws from generators of its own.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace kest::math {

// The die-rolling interface of the rules engine: one face from 1 to sides, 0 for 0 sides.
class DieRoller {
 public:
  virtual std::uint32_t roll_die(std::uint32_t sides) = 0;

 protected:
  ~DieRoller() = default;
};

// PCG32 (XSH-RR output over a 64-bit LCG). A plain copyable value; `steps` counts the
// generator steps taken since it was made, rejected draws included.
class Pcg32 final : public DieRoller {
 public:
  static constexpr std::uint64_t kMultiplier = 6364136223846793005ULL;
  static constexpr std::uint64_t kSeededIncrement = 13005396917011789751ULL;
  static constexpr std::uint64_t kSeededStateOffset = 18170239111238241250ULL;

  // Direct construction from the two words; no step is taken and `steps` starts at 0.
  constexpr Pcg32(std::uint64_t state, std::uint64_t inc) noexcept : state_(state), inc_(inc) {}

  // The standard PCG32 seeding with stream 6502698458505894875, folded into closed form:
  // it equals two steps from state 0, with `seed` added between them, so `steps` starts at 2.
  static constexpr Pcg32 seeded(std::uint64_t seed) noexcept {
    Pcg32 generator(seed * kMultiplier + kSeededStateOffset, kSeededIncrement);
    generator.steps_ = 2;
    return generator;
  }

  // One generator step: the output of the old state, then the state advances.
  constexpr std::uint32_t next() noexcept {
    std::uint64_t old = state_;
    state_ = old * kMultiplier + inc_;
    ++steps_;
    auto xorshifted = static_cast<std::uint32_t>(((old >> 18) ^ old) >> 27);
    auto rotation = static_cast<unsigned>(old >> 59);
    return (xorshifted >> rotation) | (xorshifted << ((32 - rotation) & 31));
  }

  // An unbiased face from 1 to sides by rejection; 0 sides gives 0 and takes no step.
  constexpr std::uint32_t roll_die(std::uint32_t sides) noexcept override {
    if (sides == 0) return 0;
    std::uint32_t threshold = (0U - sides) % sides;
    std::uint32_t out = next();
    while (out < threshold) out = next();
    return out % sides + 1;
  }

  [[nodiscard]] constexpr std::uint64_t state() const noexcept { return state_; }
  [[nodiscard]] constexpr std::uint64_t inc() const noexcept { return inc_; }
  [[nodiscard]] constexpr std::uint64_t steps() const noexcept { return steps_; }

  friend constexpr bool operator==(const Pcg32& a, const Pcg32& b) noexcept {
    return a.state_ == b.state_ && a.inc_ == b.inc_ && a.steps_ == b.steps_;
  }

 private:
  std::uint64_t state_;
  std::uint64_t inc_;
  std::uint64_t steps_ = 0;
};

// Host primitives: each draws from a fresh `Pcg32::seeded(seed)`.
std::uint32_t pcg32_next(std::uint64_t seed) noexcept;
std::uint32_t roll_die(std::uint64_t seed, std::uint32_t sides) noexcept;
// The sum of `count` dice; 0 when count or sides is 0.
std::uint64_t roll_dice(std::uint64_t seed, std::uint32_t count, std::uint32_t sides) noexcept;

// The largest integer not above a / b; fails on division by zero and on INT64_MIN / -1.
std::expected<std::int64_t, std::string> floor_div(std::int64_t a, std::int64_t b);

}  // namespace kest::math
