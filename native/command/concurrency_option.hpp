#pragma once
// How many probes run at once, the one spelling both `quorlin fleet` and
// `quorlin exporter` take: --concurrency N, with --max-concurrent N accepted
// as the same option.

#include <cstdint>

namespace CLI {
class App;
}  // namespace CLI

namespace quorlin::command {

void add_concurrency_option(CLI::App& app, std::int64_t& concurrency, std::int64_t max_concurrency);

}  // namespace quorlin::command
