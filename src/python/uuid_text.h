// Snapshot ids as callers type them: 32 hexadecimal digits, plain or hyphenated 8-4-4-4-12,
// either case, optionally behind "urn:uuid:".
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "formats/uuid.h"

namespace tarnwick::python {

// The id, or the message of the ValueError that tells the caller what is wrong with the text.
// Positions and group numbers count from 1.
std::expected<Uuid, std::string> parse_snapshot_id(std::string_view text);

}  // namespace tarnwick::python
