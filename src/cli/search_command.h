// The "search" command: the find bar's search over the found objects of an
// image or block device (and of every volume its partition table lists),
// after the same analysis as "analyze", printing the matches as "analyze"
// prints objects.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/find_criteria.h"

namespace tl {
class CApp;
}

namespace tl::cli {

// The selection options "search" and "recover" share: sizes in bytes,
// --since in days of creation time.
struct Selection {
    std::string name;
    bool deletedOnly = false;
    bool filesOnly = false;
    std::optional<std::uint64_t> sizeLess, sizeGreater, sizeEqual;
    std::optional<std::uint32_t> sinceDays;
};
FindCriteria CriteriaOf(const Selection& selection);

struct SearchCommand {
    std::function<bool()> opensDevice;
    std::function<int(CApp&)> run;  // -1 when the command was not given
};

SearchCommand AddSearchCommand(CLI::App& cli);

}  // namespace tl::cli
