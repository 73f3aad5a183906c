#include "python/flows.hpp"

#include "python/errors.hpp"
#include "python/interpreter_lock.hpp"
#include "python/run_probe.hpp"

#include <utility>

namespace quorlin::python {

namespace {

PyObject* run_or_raise(std::expected<ProbePlan, std::string> plan) {
    if (!plan) return raise_configuration_error(plan.error());
    return run_probe(std::move(*plan));
}

}  // namespace

PyObject* config_file_flow(std::string path, input::OptionTexts options) {
    return run_or_raise(without_interpreter_lock([&] { return input::plan_config_file(path, std::move(options)); }));
}

PyObject* raw_key_flow(std::string path, input::RawKeyTexts raw, input::OptionTexts options) {
    return run_or_raise(without_interpreter_lock(
        [&] { return input::plan_raw_key(path, std::move(raw), std::move(options)); }));
}

}  // namespace quorlin::python
