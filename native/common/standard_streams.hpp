#pragma once
// Descriptors 0, 1 and 2 kept taken. Started with one of them closed, the
// process would hand that number to the next descriptor it opens (a signal
// descriptor, a socket), and output meant for stdout would be written there.

namespace quorlin {

// Opens /dev/null, read-only, onto each of 0, 1 and 2 that is closed: writes
// to a closed stdout or stderr then fail (EBADF) and are reported as output
// that cannot be written. Call first thing in main, before any thread.
void keep_standard_streams_taken() noexcept;

}  // namespace quorlin
