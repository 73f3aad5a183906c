// Feeds arbitrary text to the fleet file reader as the contents of a fleet
// file: it must answer with a fleet or a refusal, never crash, and what it
// gives must hold its documented shape. Relative paths are taken from a
// folder that does not exist, so no file of the fuzzer's is needed (the
// careful reader refuses whatever an absolute path names that is not a
// small regular file).

#include "fleet/fleet_file.hpp"
#include "fleet/names.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

constexpr std::string_view base_folder = "/nonexistent/quorlin-fuzz";

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorlin::fleet;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    auto fleet = read_fleet(text, base_folder);
    if (!fleet) {
        const FleetRefusal& refusal = fleet.error();
        check(!refusal.message.empty());
        // A position is one the text has: a line that exists, a column from 1.
        const auto lines = static_cast<std::size_t>(std::ranges::count(text, '\n')) + 1;
        check(refusal.at.line == 0 || (refusal.at.line <= lines && refusal.at.column >= 1));
        check(refusal_text(refusal, "f").ends_with(refusal.message));
        return 0;
    }
    check(!fleet->targets().empty());
    for (const FleetTarget& target : fleet->targets()) {
        check(is_target_name(target.name));
        check(fleet->find(target.name) == &target);
        check(target.key_identity < fleet->key_identity_count());
        check(std::ranges::is_sorted(target.labels, {}, &Label::name));
        for (const Label& label : target.labels) check(!label_name_refusal(label.name));
    }
    return 0;
}
