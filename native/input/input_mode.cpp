#include "input/input_mode.hpp"

namespace quorlin::input {

namespace {

constexpr std::size_t required_field_count = 3;  // private key file, peer key, endpoint

}  // namespace

std::optional<InputModeRefusal> input_mode_refusal(bool config_given,
                                                   const std::array<bool, raw_key_field_count>& given,
                                                   const InputModeNames& names) {
    if (config_given) {
        for (std::size_t field = 0; field < raw_key_field_count; ++field) {
            if (!given[field]) continue;
            return InputModeRefusal{static_cast<RawKeyField>(field),
                                    std::string(names.fields[field]) + " cannot be combined with " +
                                        std::string(names.config)};
        }
        return std::nullopt;
    }
    std::string missing;
    for (std::size_t field = 0; field < required_field_count; ++field) {
        if (given[field]) continue;
        missing += missing.empty() ? "" : ", ";
        missing += names.fields[field];
    }
    if (missing.empty()) return std::nullopt;
    return InputModeRefusal{std::nullopt, "give " + std::string(names.config) + ", or " + missing};
}

}  // namespace quorlin::input
