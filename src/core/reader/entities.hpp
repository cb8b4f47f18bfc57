// Entity and character references in text content.
#pragma once

#include <string>
#include <string_view>

namespace calcsift {

// Unescapes the five predefined entities and character references of a text
// into out. Throws VasprunError (Message) on a bad reference.
void unescape_into(std::string_view raw, std::string& out);

}  // namespace calcsift
