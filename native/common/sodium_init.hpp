#pragma once

namespace quorlin {

// Initialises libsodium once per process (thread-safe, idempotent); it picks
// its implementations there, so it runs before the first primitive. A library
// that cannot initialise leaves no safe way on: the process ends.
void ensure_sodium() noexcept;

}  // namespace quorlin
