#pragma once
// What a key turn's lock file holds: when the last turn ended and, while a
// turn runs, when it began; one decimal count of nanoseconds a line, on the
// monotonic clock that every process of this boot shares. Read by the next
// turn (the spacing), by a probe that waited in vain (for how long the turn
// was held) and by the clean-up (how old the file is).

#include "common/clock.hpp"

#include <optional>

namespace quorlin {

struct TurnRecord {
    std::optional<Instant> last_end;  // nothing for a new or unreadable file
    std::optional<Instant> began;     // the running turn's start, if one runs
};

TurnRecord read_turn_record(int fd);

// A record that cannot be written costs the next turn its spacing at worst:
// the lock itself still keeps turns apart.
void write_turn_record(int fd, const TurnRecord& record);

}  // namespace quorlin
