#include "probe/turn_record.hpp"

#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <string>

namespace quorlin {

namespace {

std::optional<Instant> parse_instant(const char*& at, const char* end) {
    std::int64_t nanoseconds = 0;
    const auto [stop, error] = std::from_chars(at, end, nanoseconds);
    if (error != std::errc{} || stop == at || nanoseconds < 0 || stop == end || *stop != '\n') return std::nullopt;
    at = stop + 1;
    return Instant(std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(nanoseconds)));
}

std::string line(Instant instant) {
    return std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(instant.time_since_epoch()).count()) +
           "\n";
}

}  // namespace

TurnRecord read_turn_record(int fd) {
    char text[64];
    const ssize_t size = ::pread(fd, text, sizeof text, 0);
    if (size <= 0) return {};
    const char* at = text;
    const char* end = text + size;
    TurnRecord record;
    record.last_end = parse_instant(at, end);
    if (record.last_end) record.began = parse_instant(at, end);
    return record;
}

void write_turn_record(int fd, const TurnRecord& record) {
    std::string text = line(record.last_end.value_or(Instant{}));
    if (record.began) text += line(*record.began);
    if (::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size())) {
        // Fails only on an I/O error of the file we hold open, after which
        // no record in it is to be trusted anyway.
        if (::ftruncate(fd, static_cast<off_t>(text.size())) != 0) return;
    }
}

}  // namespace quorlin
