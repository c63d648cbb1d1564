#pragma once

#include <chrono>
#include <thread>

namespace fp::test {

// Asks `done` every `step` for at most `limit`; true once it holds, false when the time ran out.
template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds limit,
               std::chrono::milliseconds step = std::chrono::milliseconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

}  // namespace fp::test
