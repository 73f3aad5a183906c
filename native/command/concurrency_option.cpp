#include "command/concurrency_option.hpp"

#include "command/number_option.hpp"

#include <CLI/CLI.hpp>

#include <string>

namespace quorlin::command {

void add_concurrency_option(CLI::App& app, std::int64_t& concurrency, std::int64_t max_concurrency) {
    whole_number_option(app.add_option("--concurrency,--max-concurrent", concurrency,
                                       "probes at once, default " + std::to_string(concurrency)),
                        WholeRange{1, max_concurrency})
        ->type_name("N");
}

}  // namespace quorlin::command
